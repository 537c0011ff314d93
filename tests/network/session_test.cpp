// Plain TCP sessions against real loopback peers: names and live counters, the read
// loop, the full-buffer end, shutdown of server and client sessions.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "network/listener.hpp"
#include "network/tcp_session.hpp"
#include "support/scripted_peer.hpp"
#include "network/server_fixture.hpp"
#include "support/test_support.hpp"

namespace {

using framework::TcpSession;
using servertest::IoThreads;
using servertest::LogCapture;
using testsupport::RawClient;
using testsupport::wait_for;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// A session whose hooks the test chooses; by default it consumes everything it reads.
class Probe : public TcpSession {
public:
    using TcpSession::TcpSession;
    std::function<bool(boost::system::error_code&)> connect_hook;
    std::function<bool(Probe&, boost::system::error_code&, const net::const_buffer&)> read_hook;
    std::atomic<bool> read_off_strand{false};
    std::atomic<int> reads{0};
    std::string received;  // touched only by the read loop
    std::atomic<bool> ended{false};
    boost::system::error_code last_error;

    bool on_connect(boost::system::error_code& ec) override {
        if (connect_hook) return connect_hook(ec);
        return !ec;
    }
    bool on_read(boost::system::error_code& ec, const net::const_buffer& data) override {
        if (!strand.running_in_this_thread()) read_off_strand = true;
        ++reads;
        if (ec) {
            last_error = ec;
            ended = true;
        }
        if (read_hook) return read_hook(*this, ec, data);
        if (ec) return false;
        received.append(static_cast<const char*>(data.data()), data.size());
        buffer.consume(data.size());
        return true;
    }
    const char* session_name() const { return name; }
    void send(const std::string& s) { write_impl(net::buffer(s)); }
    void consume(size_t n) { buffer.consume(n); }
};

// A listener that makes a Probe of every accepted socket, keeping only weak pointers.
class ProbeServer {
public:
    explicit ProbeServer(net::io_context& io, std::function<void(Probe&)> setup = {})
        : setup_(std::move(setup)) {
        listener = std::make_shared<framework::Listener<tcp>>(io, [this](tcp::socket&& s) {
            auto probe = std::make_shared<Probe>(std::move(s));
            if (setup_) setup_(*probe);
            {
                std::lock_guard lock(mutex_);
                probes_.push_back(probe);
            }
            probe->accept();
        });
        port = testsupport::free_port();
        listener->listen(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), 128);
    }
    ~ProbeServer() {
        listener->stop();
    }
    std::shared_ptr<Probe> probe(size_t i) {
        std::lock_guard lock(mutex_);
        return i < probes_.size() ? probes_[i].lock() : nullptr;
    }
    size_t accepted() {
        std::lock_guard lock(mutex_);
        return probes_.size();
    }

    std::shared_ptr<framework::Listener<tcp>> listener;
    uint16_t port = 0;

private:
    std::function<void(Probe&)> setup_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<Probe>> probes_;
};

bool no_live_sessions() { return TcpSession::count_.load() == 0; }

TEST(TcpSession, NamesCarryTheLiveCountOfTheirStreamType) {
    IoThreads loop;
    ProbeServer server(loop.io);
    {
        RawClient a, b;
        ASSERT_TRUE(a.connect(server.port));
        ASSERT_TRUE(wait_for([&] { return server.accepted() == 1; }));
        ASSERT_TRUE(b.connect(server.port));
        ASSERT_TRUE(wait_for([&] { return server.accepted() == 2; }));
        EXPECT_STREQ(server.probe(0)->session_name(), "worker(1)");
        EXPECT_STREQ(server.probe(1)->session_name(), "worker(2)");
        // Outgoing sessions share the counter of their stream type.
        auto out = std::make_shared<Probe>(loop.io);
        EXPECT_STREQ(out->session_name(), "client(3)");
        EXPECT_EQ(TcpSession::count_.load(), 3u);
    }
    ASSERT_TRUE(wait_for(no_live_sessions));
    RawClient c;
    ASSERT_TRUE(c.connect(server.port));
    ASSERT_TRUE(wait_for([&] { return server.accepted() == 3; }));
    auto third = server.probe(2);
    ASSERT_TRUE(third);
    EXPECT_STREQ(third->session_name(), "worker(1)");
    third.reset();
    c.close();
    EXPECT_TRUE(wait_for(no_live_sessions));
}

TEST(TcpSession, ReadLoopRunsOnTheStrandAndSeesEveryByte) {
    IoThreads loop(6);
    std::atomic<bool> off_strand{false};
    std::mutex mutex;
    std::string got;
    ProbeServer server(loop.io, [&](Probe& p) {
        p.read_hook = [&](Probe& self, boost::system::error_code& ec, const net::const_buffer& d) {
            if (self.read_off_strand) off_strand = true;
            if (ec) return false;
            std::lock_guard lock(mutex);
            got.append(static_cast<const char*>(d.data()), d.size());
            self.consume(d.size());
            return true;
        };
    });
    std::string sent;
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port));
        for (int i = 0; i < 200; ++i) {
            std::string chunk(1000 + i, static_cast<char>('a' + i % 26));
            ASSERT_TRUE(client.send(chunk));
            sent += chunk;
        }
        client.shutdown_write();
        client.read_until_close(5s);
        EXPECT_TRUE(client.closed());
    }
    ASSERT_TRUE(wait_for(no_live_sessions));
    EXPECT_FALSE(off_strand.load());
    std::lock_guard lock(mutex);
    EXPECT_EQ(got, sent);
}

TEST(TcpSession, PeerCloseIsSilentAndResetIsLogged) {
    IoThreads loop;
    ProbeServer server(loop.io);
    LogCapture log;
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port));
        ASSERT_TRUE(client.send("hello"));
        ASSERT_TRUE(wait_for([&] { return server.accepted() == 1; }));
        client.close();
    }
    ASSERT_TRUE(wait_for(no_live_sessions));
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port));
        ASSERT_TRUE(wait_for([&] { return server.accepted() == 2; }));
        client.reset();
    }
    ASSERT_TRUE(wait_for(no_live_sessions));
    const std::string text = log.text();
    EXPECT_NE(text.find("worker(1): Connection reset by peer"), std::string::npos) << text;
    EXPECT_EQ(text.find("End of file"), std::string::npos) << text;
}

TEST(TcpSession, ConnectHookFalseEndsBeforeAnythingIsRead) {
    IoThreads loop;
    ProbeServer server(loop.io, [](Probe& p) {
        p.connect_hook = [](boost::system::error_code&) { return false; };
    });
    RawClient client;
    ASSERT_TRUE(client.connect(server.port));
    client.send("data");
    EXPECT_EQ(client.read_until_close(5s), "");
    EXPECT_TRUE(client.closed() || client.failed());
    ASSERT_TRUE(wait_for(no_live_sessions));
}

TEST(TcpSession, FullBufferEndsTheConnectionWithTheHeaderLimitError) {
    IoThreads loop;
    std::atomic<int> full_errors{0};
    ProbeServer server(loop.io, [&](Probe& p) {
        // Like an HTTP parser waiting for the end of a header: consumes nothing.
        p.read_hook = [&](Probe&, boost::system::error_code& ec, const net::const_buffer&) {
            if (ec == http::error::header_limit) ++full_errors;
            return !ec;
        };
    });
    LogCapture log;
    RawClient client;
    ASSERT_TRUE(client.connect(server.port));
    client.send(std::string(20000, 'x'));
    // A bare session has no time limit: the stream ends only because the buffer is full.
    client.read_until_close(30s);
    EXPECT_TRUE(client.closed() || client.failed());
    ASSERT_TRUE(wait_for(no_live_sessions));
    EXPECT_EQ(full_errors.load(), 1);
    EXPECT_NE(log.text().find("worker(1): header limit exceeded"), std::string::npos);
}

TEST(TcpSession, ServerShutdownStillDeliversTheAnswerBeingWritten) {
    IoThreads loop;
    const std::string answer(300000, 'z');  // more than one socket buffer
    ProbeServer server(loop.io, [&](Probe& p) {
        p.read_hook = [&](Probe& self, boost::system::error_code& ec, const net::const_buffer&) {
            if (ec) return false;
            self.send(answer);
            return false;  // shutdown while the write is under way
        };
    });
    RawClient client;
    ASSERT_TRUE(client.connect(server.port));
    ASSERT_TRUE(client.send("go"));
    EXPECT_EQ(client.read_until_close(10s), answer);
    EXPECT_TRUE(client.closed());
    ASSERT_TRUE(wait_for(no_live_sessions));
}

TEST(TcpSession, ClientConnectsReadsAndClosesOnShutdown) {
    IoThreads loop;
    testsupport::ScriptedPeer peer(testsupport::Script().write("hello").hold(5s));
    auto client = std::make_shared<Probe>(loop.io);
    std::atomic<bool> connected{false};
    std::atomic<bool> read_all{false};  // publishes `received` to the test thread
    client->connect_hook = [&](boost::system::error_code& ec) {
        connected = !ec;
        return !ec;
    };
    client->read_hook = [&](Probe& self, boost::system::error_code& ec, const net::const_buffer& d) {
        if (ec) return false;
        self.received.append(static_cast<const char*>(d.data()), d.size());
        self.consume(d.size());
        if (self.received.size() < 5) return true;
        read_all = true;
        return false;  // shut down: the client closes its socket
    };
    client->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), peer.port()));
    ASSERT_TRUE(peer.wait_done(1, 5s));
    EXPECT_TRUE(peer.record(0).peer_closed);
    ASSERT_TRUE(wait_for([&] { return read_all.load(); }));
    ASSERT_TRUE(wait_for([&] { return client.use_count() == 1; }));
    EXPECT_TRUE(connected.load());
    EXPECT_EQ(client->received, "hello");
    client.reset();
    EXPECT_TRUE(wait_for(no_live_sessions));
}

TEST(TcpSession, RefusedConnectReachesTheHookAndIsLogged) {
    IoThreads loop;
    LogCapture log;
    const uint16_t port = testsupport::free_port();
    std::atomic<bool> failed{false};
    {
        auto client = std::make_shared<Probe>(loop.io);
        client->connect_hook = [&](boost::system::error_code& ec) {
            failed = static_cast<bool>(ec);
            return !ec;
        };
        client->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    }
    ASSERT_TRUE(wait_for(no_live_sessions));
    EXPECT_TRUE(failed.load());
    EXPECT_NE(log.text().find("client(1): Connection refused"), std::string::npos);
}

}  // namespace
