// Sockets made non-blocking at creation and handed to Asio: the descriptors' flags, the
// outcomes of a connect (made, refused, closed while pending), and descriptor numbers reused
// on one loop after closes that skip the epoll removal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <set>

#include "network/nonblocking_socket.hpp"
#include "network/server_fixture.hpp"
#include "support/test_support.hpp"

namespace {

using servertest::IoThreads;
using testsupport::wait_for;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using namespace std::chrono_literals;

tcp::endpoint loopback(uint16_t port) { return {net::ip::make_address("127.0.0.1"), port}; }

void expect_nonblocking_and_cloexec(int fd) {
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

// Connects on the loop and waits for the handler's code.
error_code connect_on(IoThreads& loop, tcp::socket& socket, const tcp::endpoint& to) {
    std::promise<error_code> done;
    net::post(loop.io, [&] {
        framework::async_connect_nonblocking(socket, to, [&](error_code ec) { done.set_value(ec); });
    });
    auto result = done.get_future();
    if (result.wait_for(30s) != std::future_status::ready) return net::error::timed_out;
    return result.get();
}

TEST(NonblockingSocket, AcceptsWhatIsWaitingAndConnects) {
    IoThreads loop(1);
    tcp::acceptor acceptor(loop.io, loopback(0));
    acceptor.non_blocking(true);
    tcp::socket accepted(loop.io);
    tcp::endpoint peer;
    error_code ec;
    EXPECT_FALSE(framework::accept_nonblocking(acceptor, accepted, peer, ec));
    EXPECT_EQ(ec, net::error::would_block);

    tcp::socket client(loop.io);
    ASSERT_EQ(connect_on(loop, client, acceptor.local_endpoint()), error_code());
    expect_nonblocking_and_cloexec(client.native_handle());
    ASSERT_TRUE(wait_for([&] { return framework::accept_nonblocking(acceptor, accepted, peer, ec); }));
    expect_nonblocking_and_cloexec(accepted.native_handle());
    EXPECT_EQ(peer, client.local_endpoint());

    // Asio takes them as non-blocking already and reads and writes them as usual.
    net::write(client, net::buffer("ping", 4));
    char text[4];
    EXPECT_EQ(net::read(accepted, net::buffer(text)), 4u);
    EXPECT_EQ(std::string(text, 4), "ping");
    net::post(loop.io, [&] { accepted.close(); client.close(); });
    EXPECT_TRUE(wait_for([&] { return !accepted.is_open() && !client.is_open(); }));
}

TEST(NonblockingSocket, RefusedAndClosedWhilePending) {
    IoThreads loop(1);
    {
        tcp::socket socket(loop.io);
        EXPECT_EQ(connect_on(loop, socket, loopback(testsupport::free_port())), net::error::connection_refused);
    }
    // With its accept queue full the listener drops the SYN: the connect stays pending until
    // the socket is closed.
    auto full = testsupport::listen_with_full_queue();
    tcp::socket socket(loop.io);
    std::promise<error_code> done;
    net::post(loop.io, [&] {
        framework::async_connect_nonblocking(socket, loopback(full.port), [&](error_code ec) { done.set_value(ec); });
    });
    auto result = done.get_future();
    EXPECT_EQ(result.wait_for(200ms), std::future_status::timeout);
    net::post(loop.io, [&] { socket.close(); });
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), net::error::operation_aborted);
    for (const int fd : full.fillers) ::close(fd);
    ::close(full.fd);
}

// A closed socket's descriptor number comes back for the next one at once; had the close
// left it registered with epoll, registering it again would fail ("File exists") or its
// events would go to the old socket.
TEST(NonblockingSocket, ReusedDescriptorNumbersRegisterAfresh) {
    IoThreads loop(1);
    tcp::acceptor acceptor(loop.io, loopback(0));
    acceptor.non_blocking(true);
    std::set<int> numbers;
    for (int i = 0; i < 50; ++i) {
        tcp::socket client(loop.io);
        ASSERT_EQ(connect_on(loop, client, acceptor.local_endpoint()), error_code()) << i;
        tcp::socket accepted(loop.io);
        tcp::endpoint peer;
        error_code ec;
        ASSERT_TRUE(wait_for([&] { return framework::accept_nonblocking(acceptor, accepted, peer, ec); })) << ec.message();
        numbers.insert(client.native_handle());
        // An answer read through the reactor: the new registration delivers its events.
        std::promise<std::size_t> got;
        char byte = 0;
        net::post(loop.io, [&] {
            client.async_read_some(net::buffer(&byte, 1), [&](error_code, std::size_t n) { got.set_value(n); });
        });
        net::write(accepted, net::buffer("x", 1));
        auto n = got.get_future();
        ASSERT_EQ(n.wait_for(30s), std::future_status::ready) << i;
        EXPECT_EQ(n.get(), 1u);
        std::promise<void> closed;
        net::post(loop.io, [&] { client.close(); accepted.close(); closed.set_value(); });
        closed.get_future().wait();
    }
    EXPECT_LE(numbers.size(), 3u);  // the same few numbers, over and over
}

}  // namespace
