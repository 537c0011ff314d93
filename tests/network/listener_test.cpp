// The listener against real loopback clients: the port check, shared ports, callback
// failures, closing, and accept failures that pass.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <stdexcept>

#include "network/listener.hpp"
#include "network/server_fixture.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using framework::Listener;
using servertest::IoThreads;
using servertest::LogCapture;
using testsupport::RawClient;
using testsupport::wait_for;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

tcp::endpoint loopback(uint16_t port) {
    return tcp::endpoint(net::ip::make_address("127.0.0.1"), port);
}

TEST(Listener, PortZeroIsRefused) {
    IoThreads loop(1);
    auto listener = std::make_shared<Listener<tcp>>(loop.io, [](tcp::socket&&) {});
    try {
        listener->listen(loopback(0), 128);
        FAIL() << "listen on port 0 did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "listen: invalid port value");
    }
    EXPECT_FALSE(listener->acceptor.is_open());
}

TEST(Listener, TwoListenersShareOnePortAndListeningTwiceFails) {
    IoThreads loop;
    std::atomic<int> accepted{0};
    auto count = [&](tcp::socket&&) { ++accepted; };
    auto first = std::make_shared<Listener<tcp>>(loop.io, count);
    auto second = std::make_shared<Listener<tcp>>(loop.io, count);
    const uint16_t port = testsupport::free_port();
    ASSERT_NO_THROW(first->listen(loopback(port), 128));
    ASSERT_NO_THROW(second->listen(loopback(port), 128));
    try {
        first->listen(loopback(port), 128);
        FAIL() << "a second listen did not throw";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("open: Already open", 0), 0u) << e.what();
    }
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(clients.back()->connect(port));
    }
    EXPECT_TRUE(wait_for([&] { return accepted.load() == 8; }));
    first->stop();
    second->stop();
}

TEST(Listener, ThrowingCallbackIsLoggedAndAcceptingGoesOn) {
    IoThreads loop;
    std::atomic<int> calls{0};
    auto listener = std::make_shared<Listener<tcp>>(loop.io, [&](tcp::socket&&) {
        if (++calls == 1) throw std::runtime_error("boom");
        if (calls == 2) throw 42;  // not a std::exception: swallowed without a line
    });
    const uint16_t port = testsupport::free_port();
    listener->listen(loopback(port), 128);
    LogCapture log;
    for (int i = 0; i < 3; ++i) {
        RawClient client;
        ASSERT_TRUE(client.connect(port));
        ASSERT_TRUE(wait_for([&] { return calls.load() == i + 1; }));
    }
    listener->stop();
    const std::string text = log.text();
    EXPECT_NE(text.find("accept: boom"), std::string::npos) << text;
    EXPECT_EQ(text.find("accept:", text.find("accept: boom") + 1), std::string::npos) << text;
}

TEST(Listener, StopEndsAcceptingSilently) {
    IoThreads loop;
    std::atomic<int> calls{0};
    auto listener = std::make_shared<Listener<tcp>>(loop.io, [&](tcp::socket&&) { ++calls; });
    const uint16_t port = testsupport::free_port();
    listener->listen(loopback(port), 128);
    std::weak_ptr<Listener<tcp>> weak = listener;
    LogCapture log;
    listener->stop();
    listener.reset();
    // The aborted accept was the last holder.
    ASSERT_TRUE(wait_for([&] { return weak.expired(); }));
    RawClient client;
    EXPECT_FALSE(client.connect(port, std::nullopt, 1s));
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(log.text().find("accept:"), std::string::npos);
}

// Lowers the soft descriptor limit to the lowest free descriptor while it lives, so
// that the process can open nothing more.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ok_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0;
        const int lowest_free = ::dup(0);
        ok_ = ok_ && lowest_free >= 0;
        if (lowest_free >= 0) ::close(lowest_free);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(lowest_free);
        ok_ = ok_ && setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~NoDescriptorsLeft() { setrlimit(RLIMIT_NOFILE, &saved_); }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST(Listener, AcceptFailureIsLoggedAndAcceptingResumes) {
    IoThreads loop(2);
    std::atomic<int> calls{0};
    auto listener = std::make_shared<Listener<tcp>>(loop.io, [&](tcp::socket&&) { ++calls; });
    const uint16_t port = testsupport::free_port();
    listener->listen(loopback(port), 128);
    const int acceptor = listener->acceptor.native_handle();
    const auto logged = [](const LogCapture& log, const std::string& line) {
        return wait_for([&] { return log.has(line); }, 5s);
    };

    // A listening socket that stops listening fails the pending accept at once; it
    // listens again before the retry.
    {
        LogCapture log;
        ASSERT_EQ(::shutdown(acceptor, SHUT_RDWR), 0);
        ASSERT_TRUE(logged(log, "accept: Invalid argument")) << log.text();
        ASSERT_EQ(::listen(acceptor, 128), 0);
        RawClient client;
        ASSERT_TRUE(client.connect(port));
        EXPECT_TRUE(wait_for([&] { return calls.load() == 1; }, 5s));
    }

    // No descriptor left for the accepted socket. The path above has run once first: the
    // sanitizer checks a dynamic type the first time it meets it with a pipe of its own,
    // and with no descriptor left that check fails ("invalid vptr").
    {
        // The client's socket exists before the limit drops, so only the accept lacks a
        // descriptor.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        LogCapture log;
        bool failed_once = false;
        int connected = -1;
        {
            NoDescriptorsLeft limit;
            ASSERT_TRUE(limit.ok());
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            failed_once = connected == 0 && logged(log, "accept: Too many open files");
        }
        EXPECT_EQ(connected, 0);
        EXPECT_TRUE(failed_once) << log.text();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(wait_for([&] { return calls.load() == 2; }, 5s));
        ::close(fd);
    }
    listener->stop();
}

}  // namespace
