#pragma once
// Runs a piece of a test in a forked child, for code that changes process-wide state
// (signal dispositions, the logger, child processes, daemons). The child reports a
// failed check on standard error and through its exit status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <thread>

namespace testsupport {

// In a child body: on failure print the condition and end the child with code 1.
#define CHILD_CHECK(cond)                                                                \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::fflush(stderr);                                                         \
            ::_exit(1);                                                                  \
        }                                                                                \
    } while (0)

// Forks, runs `body` in the child and ends it with body's result (_exit, so nothing of
// the test program runs twice). The parent waits up to `deadline`; a child still
// running then is killed. Gives the raw wait status, or nothing on a timeout.
inline std::optional<int> run_in_child(const std::function<int()>& body,
                                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        int rc = 97;
        try {
            rc = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: exception: %s\n", e.what());
            rc = 98;
        } catch (...) {
            rc = 98;
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return std::nullopt;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// True when the child ran to its end with exit code 0.
inline bool child_ok(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace testsupport
