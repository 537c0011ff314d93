#pragma once
// Shared helpers of the test suite: temporary directories, free loopback ports, a
// listener that never accepts, waiting with a deadline, reading log files, setting up
// forked children, and running the real travine binary as a child process.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// A fresh directory under /tmp, removed with everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes (replaces) a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
uint16_t free_port();

// A socket listening on a free port of 127.0.0.1 with a backlog of 0, and connections to
// it made until one no longer completes: with nothing accepting, its accept queue is full
// and a further connect stays pending (the kernel drops the SYNs). `flags` are added to
// the listening socket's type (SOCK_NONBLOCK). The caller closes every descriptor.
struct FilledListener {
    int fd = -1;
    uint16_t port = 0;
    std::vector<int> fillers;  // the connected (and the last, pending) sockets
};
FilledListener listen_with_full_queue(int flags = 0);

// In a forked child, before it runs or execs anything else: standard input from
// /dev/null, standard output to `out` and standard error to `err`, each file created or
// truncated. An empty path leaves that stream alone; the same path for both makes one
// file. False when a file cannot be opened.
bool redirect_standard_streams(const std::string& out, const std::string& err);

// Polls `condition` every few milliseconds until it holds or `deadline` has passed. The
// default deadline only ends a hang: on a busy machine a sanitized binary may take many
// seconds to start, and a wait that succeeds never waits longer for it.
bool wait_for(const std::function<bool()>& condition,
              std::chrono::milliseconds deadline = 30s,
              std::chrono::milliseconds step = 10ms);

std::string read_file(const std::string& path);  // empty when it cannot be read
// The lines of the log file `path`, each without its prefix (up to and with "]: "). The
// logger is sent to `path` again first: reopening flushes what was written.
std::vector<std::string> log_file_messages(const std::string& path);
bool file_exists(const std::string& path);
bool process_alive(pid_t pid);  // false for a zombie too
bool port_open(uint16_t port);  // something accepts connections on 127.0.0.1:port
std::vector<pid_t> children_of(pid_t pid);  // the live children, as /proc lists them
std::string process_name(pid_t pid);        // the kernel's name of it (15 bytes), "" if gone
// The live child of `pid` named `name` (a role's process name), or -1.
pid_t child_named(pid_t pid, const std::string& name);

// The descriptor numbers in what "/bin/ls -l /proc/self/fd" printed, less the one that ls
// itself holds on the directory, in increasing order.
std::vector<int> listed_descriptors(const std::string& listing);

// Kills a process that is not our child (a daemon), and its children, with SIGKILL when the
// test ends.
class ProcessGuard {
public:
    explicit ProcessGuard(pid_t pid) : pid_(pid) {}
    ~ProcessGuard();
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

private:
    pid_t pid_;
};

// The travine binary started as a child in its own process group, its standard
// output and error captured in files. The destructor kills the whole group and reaps it.
class TravineProcess {
public:
    explicit TravineProcess(std::vector<std::string> args, std::string cwd = {},
                            std::string program = TRAVINE_BINARY);
    ~TravineProcess();
    TravineProcess(const TravineProcess&) = delete;
    TravineProcess& operator=(const TravineProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();                    // reaps the child when it has ended
    void signal(int signo) const;      // to the master only
    // Waits for the exit; the raw wait status, or nothing when the deadline passed.
    std::optional<int> wait(std::chrono::milliseconds deadline = 15s);
    // The exit code (or 128 + signal number) after `wait`, -1 while running.
    int exit_code() const;
    std::string out() const;           // what it wrote to standard output so far
    std::string err() const;           // and to standard error
    void kill_all();                   // SIGKILL to the process group and reap

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    TempDir dir_;
};

struct RunResult {
    int exit_code = -1;  // exit code, 128 + signal, or -1 when it timed out
    std::string out;
    std::string err;
};

// Runs travine with `args` to its end (killed after `deadline`).
RunResult run_travine(std::vector<std::string> args, std::chrono::milliseconds deadline = 15s,
                      std::string cwd = {});

}  // namespace testsupport
