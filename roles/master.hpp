#pragma once
// Travine: the master process. It holds the command line, supervises the role processes
// (one per configured role, forked by the pool), holds the pid file and the logger, and
// owns the loaded configuration. Its own event loop only waits for signals: SIGCHLD
// restarts ended children, SIGHUP reloads the configuration and restarts the children,
// SIGTERM and SIGINT stop everything.
#include <string>
#include <string_view>

#include "common/application.hpp"
#include "common/pid_file.hpp"
#include "common/process_pool.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"

class Travine : public framework::Application,
                public framework::ProcessPool,
                public framework::PidFile,
                public framework::Syslog {
public:
    // Opens the logger as "travine" and starts waiting for SIGTERM, SIGINT and SIGHUP.
    Travine();
    // Waits for every child (killing those that stay), then releases the pid file.
    ~Travine() override;

    // Loads the configuration from `path` (kept for every reload) and applies the
    // command-line log options over the document's. False when the document is missing
    // or empty; a document that cannot be installed throws.
    bool load_config(std::string_view path);
    // Builds and starts the role processes and runs the master's loop until it stops.
    int run();

    const Config& get_config() const noexcept { return config; }

    void show_help() const;
    void show_version() const;

    void on_hup() override;
    void on_stop() override;
    void on_child_stop(int pid, framework::Process::result_type status) override;

private:
    void apply_log_options();

    std::string config_path;
    Config config;
};
