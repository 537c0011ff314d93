// The one-shot timer on a loop run by several threads: replacing and cancelling a
// wait, the clock's range, and the armed flag.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "network/server_fixture.hpp"
#include "network/timer.hpp"
#include "support/test_support.hpp"

namespace {

using framework::Timer;
using servertest::IoThreads;
using testsupport::wait_for;
using namespace std::chrono_literals;

TEST(Timer, ZeroSecondsFiresOnTheNextTurnWithSuccess) {
    IoThreads loop;
    Timer timer(loop.io);
    EXPECT_FALSE(timer.armed);
    std::atomic<int> calls{0};
    std::atomic<bool> success{false};
    timer.start(std::chrono::seconds(0), [&](boost::system::error_code ec) {
        success = !ec;
        ++calls;
    });
    ASSERT_TRUE(wait_for([&] { return calls.load() == 1; }));
    EXPECT_TRUE(success.load());
    EXPECT_TRUE(wait_for([&] { return !timer.armed; }));
}

TEST(Timer, ReplacedOrCancelledWaitsNeverCallTheirHandler) {
    IoThreads loop(6);
    // A first handler may run when its wait ran out before the restart; it must never
    // start after the restart (or the cancel) has returned, however the completions
    // of the loop's threads were queued.
    std::atomic<int> late{0}, fresh{0};
    for (int i = 0; i < 500; ++i) {
        Timer timer(loop.io);
        std::atomic<bool> replaced{false};
        timer.start(std::chrono::seconds(0), [&](boost::system::error_code) {
            if (replaced) ++late;
        });
        std::this_thread::yield();
        timer.start(std::chrono::seconds(0), [&](boost::system::error_code) { ++fresh; });
        replaced = true;
        ASSERT_TRUE(wait_for([&] { return fresh.load() == i + 1; }, 5s, 1ms));
    }
    for (int i = 0; i < 500; ++i) {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        Timer timer(loop.io);
        timer.start(std::chrono::seconds(0), [&, cancelled](boost::system::error_code) {
            if (*cancelled) ++late;
        });
        std::this_thread::yield();
        timer.cancel();
        *cancelled = true;
        EXPECT_FALSE(timer.armed);
    }
    std::this_thread::sleep_for(50ms);  // any stray handler would have run by now
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(fresh.load(), 500);
}

TEST(Timer, StaysArmedWhileTheReplacingWaitIsPending) {
    IoThreads loop;
    Timer timer(loop.io);
    std::atomic<int> calls{0};
    timer.start(std::chrono::seconds(10), [&](boost::system::error_code) { ++calls; });
    timer.start(std::chrono::seconds(3600), [&](boost::system::error_code) { ++calls; });
    std::this_thread::sleep_for(100ms);  // the replaced wait's completion has run
    EXPECT_TRUE(timer.armed);
    EXPECT_EQ(calls.load(), 0);
    timer.cancel();
    EXPECT_FALSE(timer.armed);
}

TEST(Timer, FarExpiryWaitsInsteadOfWrapping) {
    IoThreads loop;
    std::atomic<int> calls{0};
    {
        Timer timer(loop.io);
        // Centuries, and a period past the range of nanoseconds.
        timer.start(std::chrono::seconds(20LL * 365 * 24 * 3600 * 100),
                    [&](boost::system::error_code) { ++calls; });
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(timer.armed);
        timer.start(std::chrono::hours(24LL * 365 * 400000),
                    [&](boost::system::error_code) { ++calls; });
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(timer.armed);
    }
    EXPECT_EQ(calls.load(), 0);
}

TEST(Timer, DestroyingAWaitingTimerNeverCallsItsHandler) {
    IoThreads loop;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> weak = token;
    std::atomic<int> calls{0};
    {
        Timer timer(loop.io);
        timer.start(std::chrono::seconds(1), [&, token](boost::system::error_code) { ++calls; });
        token.reset();
    }
    // The cancelled completion still runs later and releases the handler.
    EXPECT_TRUE(wait_for([&] { return weak.expired(); }));
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
