// The program's entry: builds the master, reads the command line, loads the configuration,
// locks the pid file, becomes a daemon when asked and hands over to the master.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "network/url.hpp"
#include "roles/master.hpp"

namespace {

// The long options; the short-option string is derived from this table.
option options[] = {
    {"config", required_argument, nullptr, 'c'},
    {"level", required_argument, nullptr, 'L'},
    {"log", required_argument, nullptr, 'l'},
    {"daemon", no_argument, nullptr, 'D'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Everything after the master is built; the master stays a local of main's frame so that
// a forked child or a daemon's parent, which never return here, never destroy it.
int run_master(Travine& travine, int argc, char** argv) {
    if (!travine.parse(argc, argv, options)) {
        travine.show_help();
        return 1;
    }
    if (travine.get_option<bool>("help", false)) {
        travine.show_help();
        return 0;
    }
    if (travine.get_option<bool>("version", false)) {
        travine.show_version();
        return 0;
    }
    if (travine.get_option<bool>("log", false))
        framework::redirect_log(travine.get_option<std::string_view>("log", {}));
    if (travine.get_option<bool>("level", false))
        framework::Syslog::set_log_level(travine.get_option<std::string_view>("level", {}));

    const std::string config(travine.get_option<std::string_view>("config", {}));
    if (config.empty()) {
        travine.show_help();
        return 1;
    }
    if (!travine.load_config(config)) return 1;

    const std::string pid_file(travine.get_config().get_pid_file());
    if (!travine.framework::PidFile::lock(pid_file)) {
        const int error = errno;
        const long pid = std::strtol(travine.get_pid_text(), nullptr, 10);
        if (pid > 0)
            std::fprintf(stderr, "Already running, pid %d\n", static_cast<int>(pid));
        else
            std::fprintf(stderr, "Cannot lock pid file: %s\n", std::strerror(error));
        return 2;
    }
    framework::Syslog::log(framework::Syslog::kInfo, "PID file: %s", pid_file.c_str());

    if (travine.get_option<bool>("daemon", false))
        travine.daemonize(travine.get_config().get_work_dir());
    return travine.run();
}

}  // namespace

int main(int argc, char** argv) {
    // Leaving the try block destroys the master (it waits for the children and releases
    // the pid file) before the message is written.
    try {
        Travine travine;
        return run_master(travine, argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "error: unknown exception\n");
    }
    return -1;
}
