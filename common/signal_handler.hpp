#pragma once
// framework::SigHandler: the process's event loop, and POSIX signals turned into calls of
// hook methods on that loop (never inside a signal handler). Also the process-wide stop
// flag. The base of a role process (Process) and of the master's supervisor (ProcessPool).
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

namespace framework {

// Blocks or unblocks one signal for the calling thread (pthread_sigmask); 0 on success,
// -1 on failure. The thread-safe replacement of sighold/sigrelse.
int block_signal(int signo) noexcept;
int unblock_signal(int signo) noexcept;

class SigHandler {
public:
    // The event loop and an empty signal set. SIGPIPE is ignored from here on in the
    // whole process: a peer that closes its end must not kill a role.
    SigHandler();
    virtual ~SigHandler();
    SigHandler(const SigHandler&) = delete;
    SigHandler& operator=(const SigHandler&) = delete;

    // Adds a signal to the set and its bit to the mask. SIGILL, SIGBUS, SIGFPE and
    // SIGSEGV are refused (false, nothing added): a crash must end the process. The mask
    // bit is set even when the set reports an error; the result says whether it took it.
    bool add_signal(int signo);

    // Nothing once is_stop_ is set. Otherwise adds the listed signals (fault signals and
    // errors skipped silently) and arms one wait over the whole set.
    void wait_for_signals(std::initializer_list<int> signals);

    // Calls `fn` with every signal of the mask, in increasing number.
    void for_each(const std::function<int(int)>& fn) const;

    boost::asio::io_context& get_io() const noexcept { return io; }

    // An orderly stop has begun in this process; only ever goes from false to true.
    static inline std::atomic<bool> is_stop_{false};

    // Hooks, run on a thread of the event loop. SIGINT and SIGTERM set is_stop_ before
    // on_stop. An exception out of a hook is logged ("on_signal(%d): %s") and dropped.
    virtual void on_hup() {}
    virtual void on_stop() {}
    virtual void on_child() {}
    virtual void on_alarm() {}
    virtual void on_signal(int signo) {}

protected:
    // The loop of the whole process; run by const members (Process::run), hence mutable.
    mutable boost::asio::io_context io;
    boost::asio::signal_set signals;
    uint32_t mask = 0;  // bit n: signal n (below 32) was added

private:
    void arm();
    void on_signal_int(const boost::system::error_code& ec, int signo);
};

}  // namespace framework
