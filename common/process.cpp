#include "common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "common/file.hpp"
#include "common/syslog.hpp"

namespace framework {

void pause_for(std::chrono::nanoseconds duration) noexcept {
    if (duration.count() <= 0) return;
    // An absolute deadline: a signal that interrupts the sleep does not shorten it.
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    const auto ns = duration.count() + until.tv_nsec;
    until.tv_sec += static_cast<time_t>(ns / 1000000000);
    until.tv_nsec = static_cast<long>(ns % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

namespace {

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int open_pidfd(pid_t pid) noexcept { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

void set_nonblocking(int fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Whether the child has ended, without reaping it: until it is reaped its id stays its own.
// A failed wait counts as ended too; the reap that follows reports it.
bool has_ended(pid_t pid) noexcept {
    siginfo_t info{};
    int r;
    do r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (r < 0 && errno == EINTR);
    return r != 0 || info.si_pid != 0;
}

// One read of at most `most` bytes into `out`, of which only the first Process::kErrorKeep
// bytes are kept; read()'s result.
ssize_t read_some(int fd, std::string& out, std::size_t most) {
    char chunk[16384];
    ssize_t n;
    do n = ::read(fd, chunk, std::min(sizeof chunk, most));
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        const std::size_t room = Process::kErrorKeep - std::min(out.size(), Process::kErrorKeep);
        out.append(chunk, std::min(static_cast<std::size_t>(n), room));
    }
    return n;
}

}  // namespace

int Process::result_type::get() const noexcept {
    return WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
}

Process::Process(std::string_view process_name)
    : start_time(std::chrono::system_clock::now()),
      name(process_name.empty() ? std::string_view(Syslog::get_tag()) : process_name) {}

Process::~Process() {
    Syslog::log(Syslog::kDebug, "~%s", name.c_str());
    err.write_end.close();
    err.read_end.close();
}

void Process::prepare_fork() {
    // The process's own signals stay blocked on this thread across fork, so the child
    // cannot take one before it has armed its own wait.
    for_each(block_signal);
    io.notify_fork(boost::asio::execution_context::fork_prepare);
    io.restart();
}

void Process::after_fork_parent() {
    io.notify_fork(boost::asio::execution_context::fork_parent);
    for_each(unblock_signal);
}

bool Process::record_fork(pid_t child, int error) {
    running = 1;
    pid = child;
    start_time = std::chrono::system_clock::now();
    status = 0;
    if (child >= 0) return true;
    running = 0;
    status = 99;
    Syslog::log(Syslog::kError, "fork: %s", std::strerror(error));
    return false;
}

bool Process::start() {
    if (running == 1) return false;
    prepare_fork();
    const pid_t child = ::fork();
    const int error = errno;
    record_fork(child, error);
    if (child != 0) {
        after_fork_parent();
        return running == 1;
    }
    int code = 99;
    try {
        io.notify_fork(boost::asio::execution_context::fork_child);
        if (!name.empty()) {
            Syslog::set_tag(name);
            ::prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);  // the kernel keeps 15 bytes
        }
        pid = ::getpid();
        wait_for_signals({});
        for_each(unblock_signal);
        code = main();
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, "main: %s", e.what());
        std::exit(99);
    } catch (...) {
        Syslog::log(Syslog::kError, "main: unknown error");
        std::exit(99);
    }
    signals.cancel();
    is_stop_ = true;
    // Destroyed in place: the owner (a pool, or a stack frame) never runs again here.
    this->~Process();
    std::exit(code);
}

int Process::run(int threads) const {
    if (threads < 0) return 0;
    if (threads == 1) {
        io.run();
        return 0;
    }
    unsigned count = threads > 0 ? static_cast<unsigned>(threads) : std::thread::hardware_concurrency();
    if (count == 0) count = 4;
    std::vector<std::thread> pool;
    pool.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        try {
            pool.emplace_back([this] {
                try {
                    io.run();
                } catch (const std::exception& e) {
                    Syslog::log(Syslog::kError, "%s: run: %s", name.c_str(), e.what());
                }
            });
        } catch (const std::system_error& e) {
            // The loop goes on with the threads that did start.
            Syslog::log(Syslog::kError, "%s: run: %s", name.c_str(), e.what());
            break;
        }
    }
    if (pool.empty()) io.run();
    for (auto& t : pool) t.join();
    return 0;
}

bool Process::kill(int signo) const {
    if (running != 1 || pid <= 0) return false;
    const bool sent = ::kill(pid, signo) == 0;
    pause_for(std::chrono::milliseconds(75));
    return sent;
}

bool Process::wait(int options) {
    if (pid <= 0) return false;
    int wait_status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &wait_status, options);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return false;
    running = 0;
    status = wait_status;
    return true;
}

bool Process::exec(std::vector<const char*> args, std::vector<const char*> env, Pipe* out,
                   Pipe* in) {
    if (running == 1 || args.empty() || args.front() == nullptr) return false;
    // Everything the child needs is made before fork: after fork in a process with
    // several threads only async-signal-safe calls are allowed until execve.
    args.push_back(nullptr);
    env.push_back(nullptr);
    const std::string failed = std::string("exec: ") + args.front() + ": ";
    if (in != nullptr) (void)in->create();
    if (out != nullptr) (void)out->create();
    (void)err.create();
    const int sources[3] = {in != nullptr ? in->read_end.get_fd() : -1,
                            out != nullptr ? out->write_end.get_fd() : -1,
                            err.write_end.get_fd()};
    sigset_t empty;
    ::sigemptyset(&empty);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigemptyset(&default_action.sa_mask);

    // Where close_range is missing, the child closes every descriptor below the limit.
    rlimit files{};
    const int open_limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                               ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20))
                               : 1 << 16;

    prepare_fork();
    const pid_t child = ::fork();
    const int error = errno;
    if (child == 0) {
        // Every end is close-on-exec. Lift the ends above 2 first, so that putting one
        // onto its standard slot never overwrites another still to be moved; dup2 then
        // clears close-on-exec on 0-2 only.
        int moved[3];
        for (int i = 0; i < 3; ++i) moved[i] = sources[i] >= 0 ? ::fcntl(sources[i], F_DUPFD_CLOEXEC, 3) : -1;
        for (int i = 0; i < 3; ++i) {
            if (moved[i] >= 0) ::dup2(moved[i], i);
        }
        // Not every descriptor of this process is close-on-exec (the event loop's sockets
        // are not): whatever the program, or a process it leaves behind, kept would hold a
        // listening socket or a client's connection open.
        if (::close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < open_limit; ++fd) ::close(fd);
        }
        ::sigaction(SIGPIPE, &default_action, nullptr);
        ::sigprocmask(SIG_SETMASK, &empty, nullptr);
        ::execve(args.front(), const_cast<char* const*>(args.data()), const_cast<char* const*>(env.data()));
        const char* text = ::strerrordesc_np(errno);
        if (text == nullptr) text = "Unknown error";
        (void)!::write(2, failed.data(), failed.size());
        (void)!::write(2, text, std::strlen(text));
        (void)!::write(2, "\n", 1);
        ::_exit(99);
    }
    record_fork(child, error);
    if (in != nullptr) in->read_end.close();
    if (out != nullptr) out->write_end.close();
    err.write_end.close();
    after_fork_parent();
    return running == 1;
}

Process::Outcome Process::run_program(std::vector<const char*> args, std::vector<const char*> env,
                                      std::string_view input, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    Outcome outcome;
    Pipe in;
    if (!exec(std::move(args), std::move(env), nullptr, &in)) return outcome;
    const Clock::time_point deadline = Clock::now() + limit;

    // Without a pidfd nothing wakes the poll when the program ends: it looks every 10 ms.
    File ended(open_pidfd(pid));
    const int in_fd = in.write_end.get_fd();
    const int err_fd = err.read_end.get_fd();
    bool feeding = in_fd >= 0 && !input.empty();
    bool reading = err_fd >= 0;
    if (feeding) set_nonblocking(in_fd);
    if (reading) set_nonblocking(err_fd);
    std::size_t written = 0;

    while (!has_ended(pid)) {
        const Clock::time_point now = Clock::now();
        if (!outcome.killed && now >= deadline) {
            ::kill(pid, SIGKILL);
            outcome.killed = true;
            feeding = false;  // nobody is left to read it
        }
        int timeout = -1;
        if (!outcome.killed) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            timeout = static_cast<int>(std::clamp<std::int64_t>(left, 1, 1 << 30));
        }
        if (!ended.is_open()) timeout = timeout < 0 ? 10 : std::min(timeout, 10);

        pollfd watch[3];
        nfds_t count = 0;
        if (ended.is_open()) watch[count++] = {ended.get_fd(), POLLIN, 0};
        const nfds_t feed_at = count;
        if (feeding) watch[count++] = {in_fd, POLLOUT, 0};
        const nfds_t read_at = count;
        if (reading) watch[count++] = {err_fd, POLLIN, 0};
        const int ready = ::poll(watch, count, timeout);
        if (ready < 0 && errno != EINTR) pause_for(std::chrono::milliseconds(10));  // never spin
        if (ready <= 0) continue;

        if (feeding && watch[feed_at].revents != 0) {
            if ((watch[feed_at].revents & POLLOUT) == 0) {
                feeding = false;  // the program closed its end
            } else {
                const ssize_t n = ::write(in_fd, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) feeding = false;
            }
        }
        if (reading && watch[read_at].revents != 0) {
            const ssize_t n = read_some(err_fd, outcome.error, SIZE_MAX);
            if (n == 0 || (n < 0 && errno != EAGAIN)) reading = false;
        }
    }

    // Only what the pipe holds now: a process left behind may keep it open and writing.
    int unread = 0;
    if (reading && ::ioctl(err_fd, FIONREAD, &unread) == 0) {
        auto left = static_cast<std::size_t>(std::max(unread, 0));
        while (left > 0) {
            const ssize_t n = read_some(err_fd, outcome.error, left);
            if (n <= 0) break;
            left -= static_cast<std::size_t>(n);
        }
    }
    outcome.ended = wait(0);
    outcome.status = status;
    return outcome;
}

}  // namespace framework
