// Freshness of the arbiter's clients against steps of the wall clock. The test program
// defines time() and clock_gettime() itself, so the wall clock that everything in this
// program reads (time(), the realtime clocks, and so std::chrono::system_clock) can be
// stepped; the steady clocks are left alone. The step is 0 unless a test sets it, and every
// test case runs in a process of its own.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "topology/topology_arbiter_basic.hpp"

namespace {
std::atomic<long> wall_step{0};  // seconds added to the wall clock

bool is_wall(clockid_t id) {
    return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
}
}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
    const long r = ::syscall(SYS_clock_gettime, id, ts);
    if (r == 0 && is_wall(id)) ts->tv_sec += wall_step.load();
    return static_cast<int>(r);
}

extern "C" time_t time(time_t* out) noexcept {
    struct timespec ts {};
    ::syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    const time_t now = ts.tv_sec + wall_step.load();
    if (out) *out = now;
    return now;
}

namespace {

using namespace std::chrono_literals;
using Paths = std::vector<std::string>;

const std::string A = "http://a/";
const std::string B = "http://b/";

Contour make(std::string path) {
    Contour c;
    c.path = std::move(path);
    c.parent = "p.c";
    c.weight = 1;
    c.timestamp = 1;
    c.mode = Contour::NORMAL;
    c.type = Contour::ACTIVE;
    return c;
}

Paths paths(const TopologyArbiterBasic& arbiter) {
    Paths out;
    auto snapshot = arbiter.get();
    for (const auto& c : snapshot->get_contours()) out.push_back(c.path);
    return out;
}

// An arbiter on the default clock whose two clients have both just reported p.x.
std::unique_ptr<TopologyArbiterBasic> both_reported_x(uint16_t max_age) {
    auto arbiter = std::make_unique<TopologyArbiterBasic>("p", max_age, nullptr);
    arbiter->add_client(A);
    arbiter->add_client(B);
    arbiter->apply_update(A, {make("p.x")});
    arbiter->apply_update(B, {make("p.x")});
    return arbiter;
}

// The shim works: both ways of reading the wall clock move, the steady clock does not.
TEST(ArbiterWallClock, ShimStepsOnlyTheWallClock) {
    const auto wall = std::chrono::system_clock::now();
    const auto steady = std::chrono::steady_clock::now();
    const time_t seconds = ::time(nullptr);
    wall_step = 3600;
    EXPECT_GE(std::chrono::system_clock::now() - wall, 3600s);
    EXPECT_GE(::time(nullptr) - seconds, 3600);
    EXPECT_LT(std::chrono::steady_clock::now() - steady, 600s);
    wall_step = 0;
}

// Forward: a client that updated a moment ago stays fresh, so it still blocks an addition
// it lacks and keeps a contour it reports.
TEST(ArbiterWallClock, StepForwardLeavesOtherClientsFresh) {
    const auto arbiter = both_reported_x(30);
    wall_step = 3600;
    arbiter->apply_update(A, {make("p.y")});
    EXPECT_EQ(paths(*arbiter), (Paths{"p.x"}));
}

// Back: a client that stopped updating goes stale after max_age all the same, and then
// neither keeps its contours nor blocks additions.
TEST(ArbiterWallClock, StepBackLetsADeadClientGoStale) {
    const auto arbiter = both_reported_x(1);
    wall_step = -3600;
    // B is dead from now on; A keeps updating without p.x and with p.y.
    EXPECT_TRUE(testsupport::wait_for(
        [&] {
            arbiter->apply_update(A, {make("p.y")});
            return paths(*arbiter) == Paths{"p.y"};
        },
        10s, 100ms))
        << ::testing::PrintToString(paths(*arbiter));
}

}  // namespace
