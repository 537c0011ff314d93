// The loops a role serves on, against real loopback clients: connections spread over the
// loops and stay on the one that accepted them, a free loop takes what a busy one cannot, a
// connection made on a loop's CPU goes to that loop, a handler that throws ends neither its
// loop nor its listener, and stop() lets serve() return.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/utsname.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "network/listener_loops.hpp"
#include "network/server_fixture.hpp"
#include "network/session.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using framework::ListenerLoops;
using servertest::LogCapture;
using testsupport::RawClient;
using testsupport::wait_for;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// The loops served on a thread of the test, stopped (and joined) when the object goes.
class Served {
public:
    Served(unsigned count, ListenerLoops::Callback callback,
           ListenerLoops::Spread spread = ListenerLoops::Spread::kByLoad)
        : loops(main, name), port(testsupport::free_port()) {
        loops.open(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), count, std::move(callback),
                   ListenerLoops::Listener::kAcceptBatch, spread);
        thread = std::thread([this] {
            loops.serve();
            done = true;
        });
    }
    ~Served() {
        loops.stop();
        if (!wait_for([this] { return done.load(); }, 10s)) {
            ADD_FAILURE() << "serve() did not return after stop()";
            main.stop();
        }
        thread.join();
    }

    net::io_context main;
    const std::string name = "loops";
    ListenerLoops loops;
    uint16_t port;
    std::thread thread;
    std::atomic<bool> done{false};
};

// Connects `n` clients at once (so that the kernel spreads them over the listeners) and
// closes them again.
void connect_all(uint16_t port, int n) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < n; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(clients.back()->connect(port)) << clients.back()->error();
    }
}

TEST(ListenerLoops, ConnectionsSpreadOverTheLoopsAndStayOnTheOneThatAcceptedThem) {
    std::mutex mutex;
    std::set<const net::io_context*> loops_seen;
    std::atomic<int> accepted{0};
    std::atomic<int> elsewhere{0};  // accepted on a thread that does not run the socket's loop
    std::atomic<int> without_peer{0};
    Served served(3, [&](tcp::socket&& socket, const tcp::endpoint& peer) {
        net::io_context& loop = framework::context_of(socket);
        if (!loop.get_executor().running_in_this_thread()) ++elsewhere;
        if (peer.port() == 0) ++without_peer;
        {
            std::lock_guard guard(mutex);
            loops_seen.insert(&loop);
        }
        ++accepted;
    }, ListenerLoops::Spread::kByCpu);  // a queue per loop: the kernel's hash spreads them
    EXPECT_EQ(served.loops.size(), 3u);
    ASSERT_NO_FATAL_FAILURE(connect_all(served.port, 64));
    ASSERT_TRUE(wait_for([&] { return accepted.load() == 64; })) << accepted.load();
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(without_peer.load(), 0);
    std::lock_guard guard(mutex);
    // 64 source ports all hashed onto one of three listeners would be a 1 in 10^30 event.
    EXPECT_GE(loops_seen.size(), 2u);
}

// Connects, sends a byte (the listeners wait for the first bytes) and closes, `n` times.
void connect_and_send(uint16_t port, int n) {
    for (int i = 0; i < n; ++i) {
        RawClient client;
        ASSERT_TRUE(client.connect(port)) << client.error();
        ASSERT_TRUE(client.send("x"));
    }
}

// The loops share one accept queue: while one loop is busy, the other takes every connection
// that comes, where a queue per loop would leave about half of them waiting for the busy one.
TEST(ListenerLoops, WhileOneLoopIsBusyTheOtherTakesEveryNewConnection) {
    std::atomic<bool> release{false};
    std::atomic<bool> first{true};
    std::atomic<int> accepted{0};
    Served served(2, [&](tcp::socket&&, const tcp::endpoint&) {
        if (first.exchange(false)) wait_for([&] { return release.load(); }, 20s);  // this loop is busy
        ++accepted;
    });
    ASSERT_NO_FATAL_FAILURE(connect_and_send(served.port, 1));
    ASSERT_NO_FATAL_FAILURE(connect_and_send(served.port, 16));
    EXPECT_TRUE(wait_for([&] { return accepted.load() == 16; })) << accepted.load();
    release = true;
    EXPECT_TRUE(wait_for([&] { return accepted.load() == 17; })) << accepted.load();
}

// Keeps the calling thread on the given CPUs until the object goes.
class Affinity {
public:
    explicit Affinity(const std::vector<int>& cpus) {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t set;
        CPU_ZERO(&set);
        for (const int cpu : cpus) CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    ~Affinity() { sched_setaffinity(0, sizeof saved_, &saved_); }

private:
    cpu_set_t saved_;
};

// The kernel picks the listener of a port by the CPU a connection arrives on since Linux 6.1.
bool kernel_at_least_6_1() {
    utsname name{};
    if (uname(&name) != 0) return false;
    int major = 0, minor = 0;
    if (std::sscanf(name.release, "%d.%d", &major, &minor) != 2) return false;
    return major > 6 || (major == 6 && minor >= 1);
}

// With a loop per CPU, a connection made on one of those CPUs (a role of this machine talking
// to another over loopback) is accepted by the loop kept to that CPU, with no other CPU woken.
TEST(ListenerLoops, AConnectionMadeOnALoopsCpuGoesToThatLoop) {
    if (!kernel_at_least_6_1()) GTEST_SKIP() << "listener choice by CPU needs Linux 6.1";
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    if (cpus.size() < 2) GTEST_SKIP() << "needs two CPUs";

    std::atomic<int> accepted{0};
    std::atomic<int> elsewhere{0};  // accepted on a CPU other than the client's
    std::atomic<int> client_cpu{-1};
    std::unique_ptr<Served> served;
    {
        const Affinity only(cpus);  // the loops' threads get the mask at their start
        served = std::make_unique<Served>(
            2,
            [&](tcp::socket&&, const tcp::endpoint&) {
                if (sched_getcpu() != client_cpu.load()) ++elsewhere;
                ++accepted;
            },
            ListenerLoops::Spread::kByCpu);
    }
    // Once a first connection is in, serve() has set the loops up.
    ASSERT_NO_FATAL_FAILURE(connect_and_send(served->port, 1));
    ASSERT_TRUE(wait_for([&] { return accepted.load() == 1; }));
    accepted = 0;
    elsewhere = 0;
    int expected = 0;
    for (const int cpu : cpus) {
        std::thread client([&, cpu] {
            const Affinity here({cpu});
            client_cpu = cpu;
            for (int i = 0; i < 16; ++i) {  // one at a time, each accepted before the next
                ASSERT_NO_FATAL_FAILURE(connect_and_send(served->port, 1));
                ASSERT_TRUE(wait_for([&] { return accepted.load() == expected + i + 1; })) << accepted.load();
            }
        });
        client.join();
        expected += 16;
    }
    EXPECT_EQ(accepted.load(), 32);
    EXPECT_EQ(elsewhere.load(), 0);
}

TEST(ListenerLoops, AHandlerThatThrowsIsLoggedAndItsLoopGoesOn) {
    LogCapture log;
    std::atomic<int> accepted{0};
    Served served(2, [&](tcp::socket&& socket, const tcp::endpoint&) {
        // Every loop gets a failing handler of its own, after which its listener must still accept.
        net::post(socket.get_executor(), [] { throw std::runtime_error("handler failed"); });
        ++accepted;
    });
    ASSERT_NO_FATAL_FAILURE(connect_all(served.port, 32));
    ASSERT_TRUE(wait_for([&] { return accepted.load() == 32; })) << accepted.load();
    ASSERT_NO_FATAL_FAILURE(connect_all(served.port, 32));
    EXPECT_TRUE(wait_for([&] { return accepted.load() == 64; })) << accepted.load();
    EXPECT_TRUE(log.has("loops: run: handler failed")) << log.text();
}

TEST(ListenerLoops, AFailedListenThrowsAndStopStillEndsTheLoops) {
    net::io_context main;
    const std::string name = "loops";
    ListenerLoops loops(main, name);
    try {
        loops.open(tcp::endpoint(net::ip::make_address("127.0.0.1"), 0), 2, nullptr);
        FAIL() << "listen on port 0 did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "listen: invalid port value");
    }
    // Nothing is left to run: serve() returns at once.
    loops.stop();
    EXPECT_EQ(loops.serve(), 0);
}

}  // namespace
