#include "common/process_pool.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <mutex>

#include "common/syslog.hpp"

namespace framework {

namespace {

int next_key() {
    static int counter = 1;
    return counter++;
}

// A crash, or a role whose main() failed: restarting at once would spin.
bool needs_pause(int wait_status) {
    if (wait_status & 0x80) return true;  // core dumped
    if (WIFSIGNALED(wait_status)) {
        const int signo = WTERMSIG(wait_status);
        return signo == SIGSEGV || signo == SIGABRT;
    }
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 99;
}

}  // namespace

ProcessPool::ProcessPool() {
    for (const int signo : {SIGINT, SIGTERM, SIGCHLD, SIGHUP}) add_signal(signo);
}

ProcessPool::~ProcessPool() {
    std::unique_lock guard(lock);
    processes.clear();
}

void ProcessPool::add(std::unique_ptr<Process>&& process) {
    if (!process) return;
    std::unique_lock guard(lock);
    processes[next_key()] = std::move(process);
}

bool ProcessPool::start() {
    std::shared_lock guard(lock);
    bool ok = !processes.empty();
    for (auto& [key, process] : processes) {
        if (process->kill(0)) continue;
        if (!process->start()) ok = false;
    }
    return ok;
}

bool ProcessPool::signal_all(int signo) {
    std::shared_lock guard(lock);
    bool ok = true;
    for (auto& [key, process] : processes) {
        if (!process->kill(signo)) ok = false;
    }
    return ok;
}

bool ProcessPool::restart() { return signal_all(SIGTERM); }

bool ProcessPool::stop() {
    boost::system::error_code ignored;
    signals.cancel(ignored);
    is_stop_ = true;
    return signal_all(SIGTERM);
}

void ProcessPool::on_hup() { signal_all(SIGTERM); }

void ProcessPool::on_stop() { stop(); }

void ProcessPool::reaped(Process& process, int wait_status) {
    // What the child wrote to its error pipe reaches the log once it has ended.
    char line[4097];
    while (process.err.get_read().fgets(line, 4096) > 0)
        Syslog::log(Syslog::kError, "%s: %s", process.name.c_str(), line);
    if (is_stop_) {
        process.running = 0;
        process.status = wait_status;
        return;
    }
    if (process.running != 1) return;
    process.running = 0;
    process.status = wait_status;
    if (needs_pause(wait_status)) pause_for(std::chrono::seconds(2));
    // A failed fork leaves the role down until the next start: no SIGCHLD comes for it.
    process.start();
}

void ProcessPool::on_child() {
    for (;;) {
        int wait_status = 0;
        const pid_t pid = ::waitpid(-1, &wait_status, WNOHANG);
        if (pid <= 0) return;
        on_child_stop(pid, Process::result_type(wait_status));
        std::shared_lock guard(lock);
        for (auto& [key, process] : processes) {
            if (process->pid == pid) reaped(*process, wait_status);
        }
    }
}

void ProcessPool::wait() {
    std::shared_lock guard(lock);
    for (auto& [key, process] : processes) {
        // A child reaped already (or never started) has nothing to wait for; waitpid would
        // fail on it every time and hold the stop up for the whole ten seconds.
        if (process->running != 1) continue;
        for (int attempt = 0; attempt < 101; ++attempt) {
            if (process->wait(WNOHANG)) break;
            if (attempt < 100) pause_for(std::chrono::milliseconds(100));
        }
        if (process->kill(0)) {
            process->kill(SIGKILL);
            Syslog::log(Syslog::kWarning, "* %s: killed now", process->name.c_str());
        }
    }
}

}  // namespace framework
