#include "network/listener_loops.hpp"

#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include <boost/asio/post.hpp>

#include "common/syslog.hpp"
#include "network/session.hpp"

namespace framework {

namespace {

// Runs the loop until it has run out of work; a handler that threw is logged and the loop
// goes on, since its listener has no other thread.
void run_loop(net::io_context& loop, const std::string& name) {
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "%s: run: %s", name.c_str(), e.what());
        }
    }
}

// Re-arms itself until cancelled.
void beat(net::steady_timer& timer) {
    timer.expires_after(ListenerLoops::kHeartbeat);
    timer.async_wait([&timer](boost::system::error_code ec) {
        if (ec) return;
        release_memory_when_idle();
        beat(timer);
    });
}

// The CPUs of the process's affinity mask, in order; empty when it cannot be read.
std::vector<int> allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

// Keeps the calling thread on one CPU.
void pin_to(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);  // a thread left unpinned still serves its loop
}

}  // namespace

ListenerLoops::ListenerLoops(net::io_context& main, const std::string& name) : main_(main), name_(name) {}

ListenerLoops::~ListenerLoops() {
    // The listeners and timers go before the loops their sockets and strands belong to.
    listeners_.clear();
    heartbeats_.clear();
}

// The CPUs of the process's affinity mask, which is what a process pinned to some cores is
// given: a loop per core it cannot use only adds switches between loops on the same core.
unsigned ListenerLoops::default_count() {
    if (const auto cpus = allowed_cpus(); !cpus.empty()) return static_cast<unsigned>(cpus.size());
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 4 : count;
}

void ListenerLoops::open(const net::ip::tcp::endpoint& endpoint, unsigned count, Callback callback,
                         int accept_batch, Spread spread) {
    callback_ = std::move(callback);
    spread_ = spread;
    for (unsigned i = 0; i < std::max(count, 1U); ++i) {
        // One thread runs each further loop: the hint lets it skip the locking a shared loop needs.
        net::io_context& loop = i == 0 ? main_ : *loops_.emplace_back(std::make_unique<net::io_context>(1));
        auto& listener = listeners_.emplace_back(std::make_shared<Listener>(loop, nullptr));
        listener->callback = [this, l = listener.get()](net::ip::tcp::socket&& socket) {
            callback_(std::move(socket), l->peer());
        };
        listener->accept_batch = accept_batch;
        if (i > 0 && spread == Spread::kByLoad)
            listener->listen_with(*listeners_.front());
        else
            listener->listen(endpoint, kBacklog);
        beat(*heartbeats_.emplace_back(std::make_unique<net::steady_timer>(loop)));
    }
}

int ListenerLoops::serve() {
    // With a loop for each CPU the process may use, each loop keeps to its own CPU: left to the
    // scheduler, the loops of the roles that share those CPUs move between them at every turn.
    const std::vector<int> cpus = allowed_cpus();
    const bool pin = cpus.size() == loops_.size() + 1 && cpus.size() > 1;
    if (pin && spread_ == Spread::kByCpu) {
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            const int cpu = cpus[i];
            ::setsockopt(listeners_[i]->acceptor.native_handle(), SOL_SOCKET, SO_INCOMING_CPU, &cpu,
                         sizeof cpu);  // without it, the spread alone
        }
    }
    std::vector<std::thread> threads;
    threads.reserve(loops_.size());
    for (std::size_t i = 0; i < loops_.size(); ++i) {
        try {
            threads.emplace_back([this, i, cpu = pin ? cpus[i + 1] : -1] {
                if (cpu >= 0) pin_to(cpu);
                run_loop(*loops_[i], name_);
            });
        } catch (const std::system_error& e) {
            // No thread for this loop: its listener must not take connections nobody serves.
            Syslog::log(Syslog::kError, "%s: run: %s", name_.c_str(), e.what());
            if (i + 1 < listeners_.size()) {
                boost::system::error_code ignored;
                listeners_[i + 1]->acceptor.close(ignored);  // its loop does not run: nothing races
            }
        }
    }
    if (pin) pin_to(cpus[0]);
    run_loop(main_, name_);  // the process's own loop, with the signals, on the calling thread
    for (auto& thread : threads) thread.join();
    return 0;
}

void ListenerLoops::stop() {
    for (const auto& listener : listeners_) listener->stop();
    for (const auto& heartbeat : heartbeats_)
        net::post(heartbeat->get_executor(), [timer = heartbeat.get()] { timer->cancel(); });
}

}  // namespace framework
