#pragma once
// A one-shot steady-clock timer on an event loop, started with a duration and a handler.
// Starting it again replaces a pending wait; a wait that was cancelled or replaced never
// calls its handler, even when its completion was already queued. The handler runs on
// any thread of the loop (the timer has no strand): owners with a strand dispatch onto it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "network/namespaces.hpp"

namespace framework {

class Timer {
    // Shared with every pending completion, so a completion that runs after the Timer
    // is gone touches only this. The word holds (generation << 1) | armed.
    struct State {
        std::atomic<std::uint64_t> word{0};
    };

public:
    using handler_type = std::function<void(boost::system::error_code)>;

    // True while a wait is pending whose handler will run.
    class Armed {
    public:
        explicit Armed(const State& state) : state_(state) {}
        bool load() const { return (state_.word.load() & 1U) != 0; }
        operator bool() const { return load(); }  // NOLINT: reads like the flag it is

    private:
        const State& state_;
    };

    explicit Timer(net::io_context& io);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Waits `d` (clamped to the clock's range) and then calls `handler` with success.
    template <class Duration>
    void start(Duration d, handler_type handler) {
        start_ns(to_nanoseconds(d), std::move(handler));
    }
    // Cancels a pending wait; its handler is not called.
    void cancel();

private:
    template <class Duration>
    static std::int64_t to_nanoseconds(Duration d) {
        using ns = std::chrono::nanoseconds;
        if (d > std::chrono::duration_cast<Duration>(ns::max())) return ns::max().count();
        if (d < std::chrono::duration_cast<Duration>(ns::min())) return ns::min().count();
        return std::chrono::duration_cast<ns>(d).count();
    }
    void start_ns(std::int64_t ns, handler_type handler);

    std::shared_ptr<State> state_;
    net::steady_timer timer_;

public:
    Armed armed;
};

}  // namespace framework
