#include "common/application.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/syslog.hpp"

namespace framework {

Application::~Application() {
    Syslog::log(is_daemon_ ? 4 : 7, "successful stop");
}

void Application::daemonize(std::string_view work_dir) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "unable to fork daemon: %s\n", std::strerror(errno));
        std::exit(-1);
    }
    if (pid > 0) {
        Syslog::log(Syslog::kDebug3, "daemon PID: %d", static_cast<int>(pid));
        std::exit(0);
    }
    ::umask(0);
    if (::setsid() < 0) {
        std::fprintf(stderr, "unable to create a new session: %s\n", std::strerror(errno));
        std::exit(-1);
    }
    const std::string dir = work_dir.empty() ? std::string("/") : std::string(work_dir);
    Syslog::log(Syslog::kInfo, "working directory: %s", dir.c_str());
    if (::chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "unable to change directory: %s\n", std::strerror(errno));
        std::exit(-1);
    }
    ::close(0);
    ::close(1);
    ::close(2);
    // The lowest free descriptors are reused, so these land on 0, 1 and 2 again.
    (void)std::freopen("/dev/null", "r", stdin);
    (void)std::freopen("/dev/null", "w+", stdout);
    (void)std::freopen("/dev/null", "w+", stderr);
    is_daemon_ = true;
}

}  // namespace framework
