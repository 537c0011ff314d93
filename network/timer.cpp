#include "network/timer.hpp"

namespace framework {

Timer::Timer(net::io_context& io)
    : state_(std::make_shared<State>()), timer_(io), armed(*state_) {}

Timer::~Timer() { cancel(); }

void Timer::start_ns(std::int64_t ns, handler_type handler) {
    using clock = net::steady_timer::clock_type;
    const std::int64_t now = clock::now().time_since_epoch().count();
    std::int64_t at = 0;
    if (__builtin_add_overflow(now, ns, &at))
        at = ns > 0 ? clock::time_point::max().time_since_epoch().count()
                    : clock::time_point::min().time_since_epoch().count();

    // A new generation first: a completion of an older wait that is already queued
    // finds a different generation and does nothing.
    const std::uint64_t generation = (state_->word.load() >> 1) + 1;
    state_->word.store((generation << 1) | 1U);
    timer_.expires_at(clock::time_point(clock::duration(at)));  // cancels a pending wait
    timer_.async_wait([state = state_, generation, handler = std::move(handler)](
                          boost::system::error_code result) {
        std::uint64_t expected = (generation << 1) | 1U;
        if (!state->word.compare_exchange_strong(expected, generation << 1)) return;
        if (result == net::error::operation_aborted) return;
        handler(result);
    });
}

void Timer::cancel() {
    const std::uint64_t generation = (state_->word.load() >> 1) + 1;
    state_->word.store(generation << 1);
    timer_.cancel();
}

}  // namespace framework
