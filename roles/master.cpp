#include "roles/master.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <memory>

#include "config/proxy-config.hpp"
#include "network/url.hpp"
#include "roles/proxy.hpp"
#include "roles/registry.hpp"
#include "roles/router.hpp"
#include "roles/topology_merger.hpp"

#ifndef TRAVINE_REVISION
#define TRAVINE_REVISION "unknown"
#endif

Travine::Travine() : framework::Syslog("travine", 9) {
    wait_for_signals({SIGTERM, SIGINT, SIGHUP});
}

Travine::~Travine() {
    wait();
    unlock();
}

void Travine::apply_log_options() {
    if (get_option<bool>("log", false)) framework::redirect_log(get_option<std::string_view>("log", {}));
    if (get_option<bool>("level", false)) set_log_level(get_option<std::string_view>("level", {}));
}

bool Travine::load_config(std::string_view path) {
    if (config_path.empty()) {
        config_path = path;
        // A daemon changes its working directory: a reload must still read the file it was
        // started with.
        char cwd[PATH_MAX];
        if (!config_path.empty() && config_path.front() != '/' && ::getcwd(cwd, sizeof cwd) != nullptr)
            config_path = std::string(cwd) + "/" + config_path;
    }
    if (!config.load(config_path)) return false;
    apply_log_options();
    return true;
}

int Travine::run() {
    update_pid();
    // Roles join the pool in a fixed order, so their keys (and start order) are stable.
    if (config.get_router()) add(std::make_unique<routing::Router>(config));
    if (config.get_registry()) add(std::make_unique<registry::Registry>(config));
    if (config.get_topology_merger())
        add(std::make_unique<topology_merging::TopologyMerger>(config));
    for (const auto& [name, section] : config.get_proxies())
        add(std::make_unique<proxy::Proxy>(config, name));
    if (!start()) {
        log(kWarning, "can not start process(es)");
        stop();
    }
    io.run();  // an error of the loop itself reaches main as a system error
    return 0;
}

void Travine::show_help() const {
    std::puts(
        "\nUsage:\n"
        "-D, --daemon\t\tUnix daemon mode\n"
        "-c, --config=<File>\tUsing specified config File\n"
        "-L, --level=<Level>\tUsing log Level: notice, info, debug[2..5], all\n"
        "-l, --log=<File>\tRedirect logging to File, empty for stderr\n"
        "-v, --version\t\tShow program version\n"
        "-h, --help\t\tShow this screen\n");
}

void Travine::show_version() const {
    std::puts("travine " TRAVINE_VERSION " (revision " TRAVINE_REVISION ")");
}

void Travine::on_hup() {
    log(kNotice, "HUP received");
    try {
        // A failed or empty load keeps the previous configuration and the running children.
        if (!load_config(config_path)) return;
        restart();
    } catch (const std::exception& e) {
        log(kError, "config: %s", e.what());
    } catch (...) {
        log(kError, "config: unknown error");
    }
}

void Travine::on_stop() {
    log(kNotice, "shutting down");
    stop();
}

void Travine::on_child_stop(int pid, framework::Process::result_type status) {
    const int s = status.status;
    const char* word = "completed";
    if (WIFSTOPPED(s))
        word = "stopped";
    else if (WIFSIGNALED(s))
        word = WTERMSIG(s) == SIGHUP ? "reloaded" : WTERMSIG(s) == SIGKILL ? "killed" : "crashed";
    log(kWarning, "* process(%u): %s, code(%d)", static_cast<unsigned>(pid), word, status.get());
}
