#pragma once
// framework::Process: one child process, seen from both sides of fork. In the master it
// is the handle the process pool keeps for a role (start, kill, wait); in the child it is
// the role itself: a subclass overrides main() and runs its event loop with run(). It
// also runs an external program with pipes on its standard streams (exec), or to its end
// with a given input and a time limit (run_program).
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/pipe.hpp"
#include "common/signal_handler.hpp"

namespace framework {

// Sleeps for the whole duration, also when signals interrupt the sleep.
void pause_for(std::chrono::nanoseconds duration) noexcept;

class Process : public SigHandler {
public:
    // One wait status of a reaped child.
    struct result_type {
        int status = 0;
        result_type() = default;
        explicit result_type(int wait_status) : status(wait_status) {}
        // The number of the terminating signal for a child killed by one, else the exit code.
        int get() const noexcept;
    };

    // An empty name takes the logger's current ident.
    explicit Process(std::string_view name = {});
    // Logs "~%s" at level 7 and closes the error pipe.
    ~Process() override;

    // Forks a child that takes `name` as its log ident and kernel thread name, arms the
    // signal wait of its set and exits with main()'s result (99 when main throws).
    // False without forking while a child is running, and when fork fails ("fork: %s",
    // status 99).
    bool start();

    // Runs the event loop: on the calling thread for 1; on `threads` new threads (for 0,
    // as many as the machine has, 4 when it reports none) joined before returning; not at
    // all for a negative count. An exception out of a loop thread ends that thread only
    // ("%s: run: %s"). Returns 0.
    int run(int threads) const;

    // Sends a signal to a running child and then pauses 75 ms; whether kill succeeded.
    // False at once when no child runs. Signal 0 tests that the child still exists.
    bool kill(int signo) const;

    // waitpid on the child (EINTR retried); true and the status recorded when it ended.
    bool wait(int options);

    // Runs the program args[0] (no PATH search) with `args` and the environment `env`
    // (empty: none at all) in a child. `in` and `out`, when given, are made into pipes to
    // its standard input and from its standard output; its standard error always goes
    // into `err`. The caller keeps the write end of `in` and the read ends of `out` and
    // `err`. The program inherits nothing but its three standard streams, starts with the
    // default SIGPIPE action and an empty signal mask; when it cannot be started the
    // child writes "exec: <path>: <error>" to its standard error and exits with 99.
    // False when a child is running, when `args` is empty and when fork fails.
    bool exec(std::vector<const char*> args, std::vector<const char*> env, Pipe* out = nullptr,
              Pipe* in = nullptr);

    // What run_program saw of one run.
    struct Outcome {
        bool ended = false;   // started and reaped; false when it could not start or be reaped
        bool killed = false;  // still running at the deadline, so it was sent SIGKILL
        int status = 0;       // its wait status, when it ended
        std::string error;    // its standard error, the first kErrorKeep bytes
    };
    static constexpr std::size_t kErrorKeep = 1 << 20;

    // Runs the program args[0] as exec does, with `input` on its standard input and its
    // standard output inherited, and blocks the calling thread until it has ended and is
    // reaped. The input is written and the standard error read together, so neither side
    // ever waits on a full pipe. The input pipe stays open until the program has ended: it
    // never reads an end of input. A program still running `limit` after its start is
    // killed with SIGKILL; it is never signalled once reaped, so the kill cannot reach a
    // process that took over its id. Once the program itself has ended, what its standard
    // error holds at that moment completes the text: a process it left behind holding the
    // pipe is not waited for. A program that stops reading its input only ends the writing
    // (SIGPIPE is ignored in every process that has a Process).
    Outcome run_program(std::vector<const char*> args, std::vector<const char*> env, std::string_view input,
                        std::chrono::milliseconds limit);

    // The child's work; its result is the child's exit code.
    virtual int main() { return 99; }

    std::chrono::system_clock::time_point start_time;  // construction, then every start/exec
    std::string name;
    std::atomic<int> running{0};  // 1 while a forked child has not been reaped
    int status = 0;               // wait status of the last reaped child; 99 after a failed fork
    pid_t pid = -1;               // in the child itself: its own id
    Pipe err;                     // made by exec only: the program's standard error

private:
    void prepare_fork();
    void after_fork_parent();
    // Records the outcome of fork; false when it failed.
    bool record_fork(pid_t child, int error);
};

}  // namespace framework
