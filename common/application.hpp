#pragma once
// framework::Application: the command-line holder of the master process, plus the turn
// into a daemon and the final "successful stop" line.
#include <string_view>

#include "common/cmdline_options.hpp"

namespace framework {

class Application : public CmdLineOptions {
public:
    Application() = default;
    // Logs "successful stop": at level 4 in a daemon, at level 7 otherwise.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Forks once: the calling process exits with 0 there, the daemon returns from here
    // in a new session, with umask 0, in `work_dir` ("/" when empty) and with its
    // standard streams on /dev/null. A failing step writes its message to standard
    // error and exits with -1.
    void daemonize(std::string_view work_dir);

private:
    bool is_daemon_ = false;
};

}  // namespace framework
