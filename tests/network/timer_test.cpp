// The one-shot timer on a loop run by several threads: replacing and cancelling a
// wait, the clock's range, and the armed flag.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

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
    // One loop thread, and the restart (or cancel) made on it right after the first wait
    // has run out: the first completion is then surely queued, not running, when the timer
    // changes, and it must do nothing. (With several threads a completion that has already
    // begun cannot be told from a late one.)
    IoThreads loop(1);
    std::atomic<int> late{0}, fresh{0}, done{0};
    std::vector<std::shared_ptr<Timer>> timers;  // alive until every wait has ended
    for (int i = 0; i < 500; ++i) {
        auto timer = std::make_shared<Timer>(loop.io);
        timers.push_back(timer);
        boost::asio::post(loop.io, [&, timer, i] {
            timer->start(std::chrono::seconds(0), [&](boost::system::error_code) { ++late; });
            std::this_thread::sleep_for(std::chrono::microseconds(i % 3 == 0 ? 200 : 0));
            if (i % 2 == 0) {
                timer->start(std::chrono::seconds(0), [&](boost::system::error_code) { ++fresh; });
            } else {
                timer->cancel();
                EXPECT_FALSE(timer->armed);
            }
            ++done;
        });
    }
    ASSERT_TRUE(wait_for([&] { return done.load() == 500 && fresh.load() == 250; }, 10s));
    // Any stray completion is queued behind these checks on the one loop thread.
    std::atomic<bool> drained{false};
    boost::asio::post(loop.io, [&] { drained = true; });
    ASSERT_TRUE(wait_for([&] { return drained.load(); }, 5s));
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(fresh.load(), 250);
    // Destroyed on the loop thread, where their waits ran.
    std::atomic<bool> cleared{false};
    boost::asio::post(loop.io, [&] {
        timers.clear();
        cleared = true;
    });
    ASSERT_TRUE(wait_for([&] { return cleared.load(); }, 5s));
}

TEST(Timer, StaysArmedWhileTheReplacingWaitIsPending) {
    IoThreads loop;
    Timer timer(loop.io);
    std::atomic<int> calls{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> replaced = token;
    timer.start(std::chrono::seconds(10), [&, token](boost::system::error_code) { ++calls; });
    token.reset();
    timer.start(std::chrono::seconds(3600), [&](boost::system::error_code) { ++calls; });
    // The replaced wait's completion has run once it has let go of its handler.
    ASSERT_TRUE(wait_for([&] { return replaced.expired(); }));
    EXPECT_TRUE(timer.armed);
    EXPECT_EQ(calls.load(), 0);
    timer.cancel();
    EXPECT_FALSE(timer.armed);
}

TEST(Timer, FarExpiryWaitsInsteadOfWrapping) {
    // One loop thread: the loop hands out expired waits earliest first, so a wrapped
    // expiry, which lies in the past, would complete before a zero-second wait started
    // after it.
    IoThreads loop(1);
    std::atomic<int> calls{0};
    const auto next_turn_done = [&] {
        Timer probe(loop.io);
        std::atomic<bool> fired{false};
        probe.start(std::chrono::seconds(0), [&](boost::system::error_code) { fired = true; });
        return wait_for([&] { return fired.load(); });
    };
    {
        Timer timer(loop.io);
        // Centuries, and a period past the range of nanoseconds.
        timer.start(std::chrono::seconds(20LL * 365 * 24 * 3600 * 100),
                    [&](boost::system::error_code) { ++calls; });
        ASSERT_TRUE(next_turn_done());
        EXPECT_TRUE(timer.armed);
        EXPECT_EQ(calls.load(), 0);
        timer.start(std::chrono::hours(24LL * 365 * 400000),
                    [&](boost::system::error_code) { ++calls; });
        ASSERT_TRUE(next_turn_done());
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
    // The cancelled completion still runs later and releases the handler; with every
    // copy of the handler gone, nothing can call it any more.
    EXPECT_TRUE(wait_for([&] { return weak.expired(); }));
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
