// The outgoing HTTP request against real loopback peers: every peer behaviour ends in
// exactly one callback (or none, for a cancel before the exchange), with the made-up
// 503 for every failure, and every client object is gone afterwards.
#include "network/http_client.hpp"

#include "common/syslog.hpp"

#include "support/certs.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
using framework::HttpClientT;
using framework::HttpxClient;
using framework::TcpSession;
using framework::Url;
using Response = HttpxClient::response_type;
using Request = HttpxClient::request_type;

constexpr int kThreads = 4;

// Sends the process's log lines to a file at the given level while it lives.
class LogCapture {
public:
    explicit LogCapture(const char* level = "info") {
        framework::Syslog::redirect(dir_.file("log"));
        framework::Syslog::set_log_level(level);
    }
    ~LogCapture() {
        framework::Syslog::set_log_level("info");
        framework::Syslog::redirect("");
    }
    std::string text() const { return read_file(dir_.file("log")); }

private:
    TempDir dir_;
};

// What the callbacks of one client received.
struct Outcome {
    std::mutex mu;
    std::vector<Response> answers;
    std::atomic<int> calls{0};

    void take(Response&& r) {
        std::lock_guard<std::mutex> lock(mu);
        answers.push_back(std::move(r));
        ++calls;
    }
    Response first() {
        std::lock_guard<std::mutex> lock(mu);
        return answers.empty() ? Response{} : answers.front();
    }
};

std::string body_of(const Response& r) { return boost::beast::buffers_to_string(r.body().data()); }

// A made-up failure answer, exactly as the owners rely on it.
void expect_made_up_503(const Response& r) {
    EXPECT_EQ(r.result_int(), 503u);
    EXPECT_EQ(r.version(), 11u);
    EXPECT_EQ(r[http::field::cache_control], "no-store");
    EXPECT_EQ(r[http::field::connection], "close");
    EXPECT_EQ(r[http::field::content_length], "0");
    EXPECT_EQ(r.body().size(), 0u);
}

std::string url_of(uint16_t port, const std::string& path = "/", const char* scheme = "http") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

// An event loop on several threads; at the end every client object must be gone.
class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < kThreads; ++i) threads.emplace_back([this] { io.run(); });
    }
    void TearDown() override {
        EXPECT_TRUE(wait_for([] { return live() == 0; }, 15s)) << "live sessions: " << live();
        guard.reset();
        io.stop();
        for (auto& t : threads) t.join();
    }
    static size_t live() {
        return TcpSession::count_.load()
#ifdef TRAVINE_HAS_TLS_SESSION
               + framework::TlsSession::count_.load()
#endif
            ;
    }

    std::shared_ptr<HttpClientT<TcpSession>> make_client(Outcome& out, const char* name = "client-test") {
        auto c = std::make_shared<HttpClientT<TcpSession>>(name, io);
        c->callback = [&out](Response&& r) { out.take(std::move(r)); };
        return c;
    }

    // Sends a GET to `url`, waits for the callback, then for the client to be gone, so that
    // a second callback would have been seen.
    Response get(const std::string& url, http::verb verb = http::verb::get,
                 std::chrono::milliseconds deadline = 5s) {
        Outcome out;
        {
            auto c = make_client(out);
            EXPECT_TRUE(c->send(verb, Url(url), std::string_view{}, {}, 11));
        }
        EXPECT_TRUE(wait_for([&] { return out.calls > 0; }, deadline));
        EXPECT_TRUE(wait_for([] { return live() == 0; }, 5s));
        EXPECT_EQ(out.calls, 1);
        return out.first();
    }

    net::io_context io;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> guard{io.get_executor()};
    std::vector<std::thread> threads;
};

// ---- one callback for each peer behaviour -----------------------------------------

struct PeerCase {
    const char* name;
    Script script;
    unsigned status;     // 503: the made-up answer
    std::string body;
};

TEST_F(HttpClientTest, EachPeerBehaviourGivesOneCallback) {
    const std::string big(1048577, 'x');
    const std::string huge_header = "HTTP/1.1 200 OK\r\nX-Big: " + std::string(20000, 'h') + "\r\nContent-Length: 0\r\n\r\n";
    const std::vector<PeerCase> cases = {
        {"length-delimited", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello").close(), 200, "hello"},
        {"ended by close", Script().read_header().write("HTTP/1.1 200 OK\r\n\r\nhello world").close(), 200, "hello world"},
        {"chunked", Script().read_header().write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n").close(), 200, "abcde"},
        {"not found", Script().read_header().write("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope").close(), 404, "nope"},
        {"close mid-body", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello").close(), 503, ""},
        {"close in header", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Le").close(), 503, ""},
        {"close without answer", Script().read_header().close(), 503, ""},
        {"reset mid-body (ended by close)", Script().read_header().write("HTTP/1.1 200 OK\r\n\r\npartial").pause(100ms).reset(), 503, ""},
        {"reset after a complete answer", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").pause(100ms).reset(), 200, "ok"},
        {"malformed status line", Script().read_header().write("HTTP/1.1 abc\r\n\r\n").close(), 503, ""},
        {"not HTTP", Script().read_header().write("SSH-2.0-OpenSSH\r\n\r\n").close(), 503, ""},
        {"header over the read buffer", Script().read_header().write(huge_header).close(), 503, ""},
        {"body over 1 MiB", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n" + big).close(), 503, ""},
        {"body over 1 MiB ended by close", Script().read_header().write("HTTP/1.1 200 OK\r\n\r\n" + big).close(), 503, ""},
        {"interim answers first", Script().read_header().write("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 3\r\n\r\nnew").close(), 201, "new"},
        {"bytes after the answer", Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokGARBAGE").close(), 200, "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.script);
        const Response r = get(url_of(peer.port(), "/x"));
        if (c.status == 503) {
            expect_made_up_503(r);
        } else {
            EXPECT_EQ(r.result_int(), c.status);
            EXPECT_EQ(body_of(r), c.body);
            // Length fields are recomputed from the body the owner gets.
            EXPECT_EQ(r[http::field::content_length], std::to_string(c.body.size()));
            EXPECT_EQ(r.count(http::field::transfer_encoding), 0u);
        }
    }
}

TEST_F(HttpClientTest, RefusedPortAndUnresolvableHostGiveMadeUp503) {
    expect_made_up_503(get(url_of(free_port())));
    expect_made_up_503(get("http://no-such-host.invalid:80/"));
}

TEST_F(HttpClientTest, HeadAnswerIsReadWithoutBody) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n").close());
    const Response r = get(url_of(peer.port()), http::verb::head);
    EXPECT_EQ(r.result_int(), 200u);
    EXPECT_EQ(r.body().size(), 0u);
    // The length of the resource stays what the server said.
    EXPECT_EQ(r[http::field::content_length], "100");
}

TEST_F(HttpClientTest, InvalidUrlIsRefusedWithoutCallback) {
    for (const char* text : {"tcp://127.0.0.1:80/", "http://127.0.0.1:0/", "udp://127.0.0.1:53",
                             "ftp://127.0.0.1:21/", "http://127.0.0.1:/x", "http:///"}) {
        SCOPED_TRACE(text);
        Outcome out;
        auto c = make_client(out);
        LogCapture capture;
        EXPECT_FALSE(c->send(http::verb::get, Url(text), std::string_view{}, {}, 11));
        Request req{http::verb::get, "/", 11};
        EXPECT_FALSE(c->forward(Url(text), std::move(req)));
        const std::string log = capture.text();
        EXPECT_NE(log.find(std::string("client-test: invalid URL: ") + text), std::string::npos) << log;
        c.reset();
        EXPECT_TRUE(wait_for([] { return live() == 0; }, 5s));
        EXPECT_EQ(out.calls, 0);
    }
}

// ---- what goes on the wire ------------------------------------------------------------

TEST_F(HttpClientTest, SendBuildsTheRequest) {
    struct Case {
        const char* name;
        std::string path;
        int version;
        std::string expected;
    };
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    const std::string port = std::to_string(peer.port());
    const std::vector<Case> cases = {
        {"HTTP/1.1 with encoded target", "/a b~c?x=1&y=%41", 11,
         "GET /a%20b%7Ec?x=1&y=%2541 HTTP/1.1\r\nx-one: 1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {"empty path is the root", "", 11,
         "GET / HTTP/1.1\r\nx-one: 1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {"HTTP/1.0 has no Host or Connection", "/old", 10, "GET /old HTTP/1.0\r\nx-one: 1\r\n\r\n"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Outcome out;
        {
            auto c = make_client(out);
            ASSERT_TRUE(c->send(http::verb::get, Url("http://127.0.0.1:" + port + cases[i].path),
                                std::string_view{}, {{"X-One", "0"}, {"x-one", "1"}}, cases[i].version));
        }
        ASSERT_TRUE(peer.wait_done(i + 1));
        EXPECT_EQ(peer.record(i).received, cases[i].expected);
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }, 5s));
    }
}

TEST_F(HttpClientTest, SendJsonSetsContentTypeLast) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    const std::string port = std::to_string(peer.port());
    const std::vector<std::pair<nlohmann::json, std::string>> bodies = {
        {nlohmann::json{{"nodePath", "a.b"}, {"b", 1}}, R"({"b":1,"nodePath":"a.b"})"},
        {nlohmann::json(), "{}"},
    };
    for (size_t i = 0; i < bodies.size(); ++i) {
        Outcome out;
        {
            auto c = make_client(out);
            HttpxClient& base = *c;
            ASSERT_TRUE(base.send(http::verb::post, Url("http://127.0.0.1:" + port + "/p"), bodies[i].first,
                                  {{"Content-Type", "text/plain"}}, 11));
        }
        ASSERT_TRUE(peer.wait_done(i + 1));
        const std::string& body = bodies[i].second;
        EXPECT_EQ(peer.record(i).received,
                  "POST /p HTTP/1.1\r\nContent-Type: application/json\r\nHost: 127.0.0.1:" + port +
                      "\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body);
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }, 5s));
    }
}

TEST_F(HttpClientTest, ForwardKeepsTheRequestAndFixesItsFraming) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    const std::string port = std::to_string(peer.port());
    const Url url("http://127.0.0.1:" + port + "/ignored");

    // A bodiless request loses a stale Content-Length, a chunked one gets a real length.
    Request plain{http::verb::get, "/own/target?q=1", 11};
    plain.set(http::field::host, "front.example");
    plain.set(http::field::content_length, "42");
    plain.set("X-Client", "yes");
    Request chunked{http::verb::post, "/up", 11};
    chunked.set(http::field::transfer_encoding, "chunked");
    boost::beast::ostream(chunked.body()) << "data";
    Request old{http::verb::get, "/ten", 10};

    const std::vector<std::pair<Request, std::string>> cases = {
        {plain, "GET /own/target?q=1 HTTP/1.1\r\nX-Client: yes\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {chunked, "POST /up HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\nContent-Length: 4\r\n\r\ndata"},
        {old, "GET /ten HTTP/1.0\r\n\r\n"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Outcome out;
        {
            auto c = make_client(out);
            Request r = cases[i].first;
            ASSERT_TRUE(c->forward(url, std::move(r)));
        }
        ASSERT_TRUE(peer.wait_done(i + 1));
        EXPECT_EQ(peer.record(i).received, cases[i].second);
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }, 5s));
    }
}

TEST_F(HttpClientTest, HostNamesAreLookedUpAndAddressLiteralsAreNot) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close());
    const std::string port = std::to_string(peer.port());

    // A name: looked up when the request is made.
    EXPECT_EQ(body_of(get("http://localhost:" + port + "/")), "ok");
    ASSERT_TRUE(peer.wait_done(1));
    EXPECT_NE(peer.record(0).received.find("\r\nHost: localhost:" + port + "\r\n"), std::string::npos);

    // An address literal whose reverse name took the host's place: the literal is the
    // address to connect to, even when the name would not resolve.
    Url literal("http://127.0.0.1:" + port + "/");
    literal.host = "reverse-name.invalid";
    Outcome out;
    {
        auto c = make_client(out);
        ASSERT_TRUE(c->send(http::verb::get, literal, std::string_view{}, {}, 11));
    }
    ASSERT_TRUE(wait_for([&] { return out.calls == 1; }, 5s));
    EXPECT_EQ(out.first().result_int(), 200u);
    ASSERT_TRUE(peer.wait_done(2));
    EXPECT_NE(peer.record(1).received.find("\r\nHost: reverse-name.invalid:" + port + "\r\n"), std::string::npos);
}

TEST_F(HttpClientTest, SeveralAddressesAreTriedInOrder) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close());
    // 127.0.0.2 and 127.0.0.3 refuse: the peer listens on 127.0.0.1 only.
    Url url(url_of(peer.port()));
    auto at = [&](const char* ip) {
        sockaddr_in sa = url.addr;
        ::inet_pton(AF_INET, ip, &sa.sin_addr);
        return sa;
    };
    url.addrs = {at("127.0.0.2"), at("127.0.0.3"), at("127.0.0.1")};
    Outcome out;
    {
        auto c = make_client(out);
        ASSERT_TRUE(c->send(http::verb::get, url, std::string_view{}, {}, 11));
    }
    ASSERT_TRUE(wait_for([&] { return out.calls == 1; }, 5s));
    EXPECT_EQ(out.first().result_int(), 200u);
    EXPECT_EQ(peer.accepted(), 1u);
}

TEST_F(HttpClientTest, ClientCanBeReusedAfterItsAnswer) {
    ScriptedPeer peer([](size_t i) {
        return Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n" + std::to_string(i)).close();
    });
    Outcome out;
    auto c = make_client(out);
    const Url url(url_of(peer.port()));
    // The next request is sent from inside the callback, as a poller does.
    std::atomic<int> sent{1};
    c->callback = [&, raw = c.get()](Response&& r) {
        out.take(std::move(r));
        if (sent < 3) {
            ++sent;
            raw->send(http::verb::get, url, std::string_view{}, {}, 11);
        }
    };
    ASSERT_TRUE(c->send(http::verb::get, url, std::string_view{}, {}, 11));
    ASSERT_TRUE(wait_for([&] { return out.calls == 3; }, 10s));
    c.reset();
    ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
    std::lock_guard<std::mutex> lock(out.mu);
    ASSERT_EQ(out.answers.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(body_of(out.answers[i]), std::to_string(i));
}

TEST_F(HttpClientTest, ThrowingCallbackIsContained) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    std::atomic<int> calls{0};
    LogCapture capture;
    {
        auto c = std::make_shared<HttpClientT<TcpSession>>("thrower", io);
        c->callback = [&](Response&&) {
            ++calls;
            throw std::runtime_error("boom");
        };
        ASSERT_TRUE(c->send(http::verb::get, Url(url_of(peer.port())), std::string_view{}, {}, 11));
    }
    ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
    const std::string log = capture.text();
    EXPECT_EQ(calls, 1);
    EXPECT_NE(log.find("thrower: on_response: boom"), std::string::npos) << log;
}

TEST_F(HttpClientTest, OnlySentRequestsLogTheirRequestLine) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 404 Not Found\r\nContent-Length: 1\r\n\r\nx").close());
    const std::string port = std::to_string(peer.port());
    LogCapture capture("debug5");
    Outcome sent, forwarded;
    {
        auto a = make_client(sent, "sender");
        ASSERT_TRUE(a->send(http::verb::post, Url("http://127.0.0.1:" + port + "/a b"), std::string_view("payload"),
                            {{"X-Field", "v1"}}, 11));
        auto b = make_client(forwarded, "forwarder");
        Request req{http::verb::get, "/relayed", 11};
        req.set("X-Relayed", "v2");
        ASSERT_TRUE(b->forward(Url("http://127.0.0.1:" + port + "/"), std::move(req)));
    }
    ASSERT_TRUE(wait_for([&] { return sent.calls == 1 && forwarded.calls == 1; }, 5s));
    ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
    const std::string log = capture.text();
    EXPECT_NE(log.find("sender: POST 127.0.0.1:" + port + "/a b HTTP/1.1, 7 byte(s)"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: >>> payload"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: X-Field: 'v1'"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: status 404, 1 byte(s)"), std::string::npos) << log;
    EXPECT_NE(log.find("forwarder: status 404, 1 byte(s)"), std::string::npos) << log;
    EXPECT_EQ(log.find("forwarder: GET"), std::string::npos) << log;
    EXPECT_EQ(log.find("X-Relayed"), std::string::npos) << log;
}

// ---- cancel at each stage -------------------------------------------------------------

// Lets a test hold the client's strand, so that a completion is queued behind a cancel.
class ProbeClient : public HttpClientT<TcpSession> {
public:
    using HttpClientT<TcpSession>::HttpClientT;
    template <class F>
    void on_strand(F f) {
        net::post(this->strand, std::move(f));
    }
};

TEST_F(HttpClientTest, CancelBeforeTheExchangeNeverCallsBack) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    const std::string port = std::to_string(peer.port());
    struct Case {
        const char* name;
        std::string url;
        bool wait_for_accept;  // hold the strand until the connection was made
    };
    const std::vector<Case> cases = {
        {"at once, name to look up", "http://localhost:" + port + "/", false},
        {"after the look-up completed", "http://localhost:" + port + "/", false},
        {"after the connect completed", "http://127.0.0.1:" + port + "/", true},
    };
    size_t accepted_before = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        Outcome out;
        {
            auto c = std::make_shared<ProbeClient>("probe", io);
            c->callback = [&out](Response&& r) { out.take(std::move(r)); };
            ASSERT_TRUE(c->send(http::verb::get, Url(cases[i].url), std::string_view{}, {}, 11));
            if (i == 0) {
                c->cancel({});
            } else {
                // Holds the strand while the look-up or the connect completes, so that its
                // completion is queued behind the cancel.
                c->on_strand([&, c, i] {
                    if (cases[i].wait_for_accept)
                        peer.wait_accepted(accepted_before + 1, 2s);
                    else
                        std::this_thread::sleep_for(100ms);
                    std::this_thread::sleep_for(50ms);
                    c->cancel(net::error::operation_aborted);
                });
            }
        }
        ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
        EXPECT_EQ(out.calls, 0);
        accepted_before = peer.accepted();
    }
    // Nothing was ever written to the peer.
    for (size_t i = 0; i < peer.accepted(); ++i) {
        ASSERT_TRUE(peer.wait_done(i + 1));
        EXPECT_EQ(peer.record(i).received, "");
    }
}

TEST_F(HttpClientTest, CancelWhileConnectPendingNeverCallsBack) {
    StalledListener stalled;
    Outcome out;
    {
        auto c = make_client(out);
        ASSERT_TRUE(c->send(http::verb::get, Url(url_of(stalled.port())), std::string_view{}, {}, 11));
        // Let the connect start, then cancel it.
        std::this_thread::sleep_for(100ms);
        c->cancel(net::error::operation_aborted);
    }
    ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
    EXPECT_EQ(out.calls, 0);
}

TEST_F(HttpClientTest, CancelDuringTheExchange) {
    // Before any answer: the made-up 503. After a complete answer: that answer. After a
    // part of an answer that only the close would end: the made-up 503, never the part.
    struct Case {
        const char* name;
        std::string written;
        unsigned status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"no answer yet", "", 503, ""},
        {"complete answer, connection open", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone", 200, "done"},
        {"answer ended by close, not closed yet", "HTTP/1.1 200 OK\r\n\r\nsome of it", 503, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Script s;
        s.read_header();
        if (!k.written.empty()) s.write(k.written);
        ScriptedPeer peer(s.hold(10s));
        Outcome out;
        auto c = make_client(out);
        ASSERT_TRUE(c->send(http::verb::get, Url(url_of(peer.port())), std::string_view{}, {}, 11));
        ASSERT_TRUE(wait_for([&] { return !peer.record(0).received.empty(); }, 5s));
        if (!k.written.empty()) std::this_thread::sleep_for(100ms);  // let the answer arrive
        c->cancel(net::error::operation_aborted);
        ASSERT_TRUE(wait_for([&] { return out.calls > 0; }, 5s));
        c.reset();
        ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
        EXPECT_EQ(out.calls, 1);
        const Response r = out.first();
        if (k.status == 503) {
            expect_made_up_503(r);
        } else {
            EXPECT_EQ(r.result_int(), k.status);
            EXPECT_EQ(body_of(r), k.body);
        }
    }
}

// ---- the 10-second limits (each its own case, so they run in parallel) --------------

TEST_F(HttpClientTest, AnswerThenIdleIsDeliveredAtTheTimeout) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").hold(30s));
    const auto begin = std::chrono::steady_clock::now();
    LogCapture capture;
    const Response r = get(url_of(peer.port()), http::verb::get, 15s);
    const std::string log = capture.text();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(r.result_int(), 200u);
    EXPECT_EQ(body_of(r), "ok");
    EXPECT_GE(took, 9500ms);
    EXPECT_NE(log.find("client-test: closed by timeout"), std::string::npos) << log;
}

TEST_F(HttpClientTest, PartialAnswerEndedByCloseTimesOutAs503) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\n\r\ntruncated").hold(30s));
    expect_made_up_503(get(url_of(peer.port()), http::verb::get, 15s));
}

TEST_F(HttpClientTest, PeerThatNeverAnswersTimesOut) {
    ScriptedPeer peer(Script().hold(30s));
    expect_made_up_503(get(url_of(peer.port()), http::verb::get, 15s));
}

TEST_F(HttpClientTest, ConnectThatNeverCompletesTimesOut) {
    StalledListener stalled;
    const auto begin = std::chrono::steady_clock::now();
    LogCapture capture;
    const Response r = get(url_of(stalled.port()), http::verb::get, 15s);
    const std::string log = capture.text();
    expect_made_up_503(r);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 9500ms);
    EXPECT_NE(log.find("client-test: closed by timeout on connection"), std::string::npos) << log;
}

}  // namespace

#ifdef TRAVINE_HAS_TLS_SESSION
// ---- HTTPS ------------------------------------------------------------------------

namespace {

using framework::TlsSession;

class HttpsClientTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        certs.emplace(dir.path());
    }
    PeerTls server_tls(bool verify_client = false) const {
        return PeerTls{certs->server.cert, certs->server.key, certs->ca_cert, verify_client};
    }
    // Sends a GET over TLS with `settings` and waits until the client is gone.
    Response get_tls(const std::string& url, const nlohmann::json& settings,
                     std::chrono::milliseconds deadline = 5s) {
        Outcome out;
        {
            auto c = std::make_shared<HttpClientT<TlsSession>>("tls-test", io, settings);
            c->callback = [&out](Response&& r) { out.take(std::move(r)); };
            EXPECT_TRUE(c->send(http::verb::get, Url(url), std::string_view{}, {}, 11));
        }
        EXPECT_TRUE(wait_for([&] { return out.calls > 0; }, deadline));
        EXPECT_TRUE(wait_for([] { return live() == 0; }, 5s));
        EXPECT_EQ(out.calls, 1);
        return out.first();
    }

    TempDir dir;
    std::optional<Certs> certs;
};

TEST_F(HttpsClientTest, AnswersOverTls) {
    struct Case {
        const char* name;
        Script script;
        unsigned status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"length-delimited", Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nsec").close(), 200, "sec"},
        {"length-delimited, no close_notify", Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nsec").close_no_notify(), 200, "sec"},
        {"ended by close_notify", Script().read_request().write("HTTP/1.1 200 OK\r\n\r\nuntil close").close(), 200, "until close"},
        // Without close_notify the end of the body cannot be told from a cut connection.
        {"ended by a cut connection", Script().read_request().write("HTTP/1.1 200 OK\r\n\r\nuntil close").close_no_notify(), 503, ""},
        {"close mid-body", Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nsec").close(), 503, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedPeer peer(k.script, server_tls());
        const Response r = get_tls(peer.url("/s"), certs->client_settings());
        if (k.status == 503) {
            expect_made_up_503(r);
        } else {
            EXPECT_EQ(r.result_int(), k.status);
            EXPECT_EQ(body_of(r), k.body);
        }
        ASSERT_TRUE(peer.wait_done(1));
        EXPECT_TRUE(peer.record(0).handshake_ok);
        EXPECT_EQ(peer.record(0).received.rfind("GET /s HTTP/1.1\r\n", 0), 0u) << peer.record(0).received;
    }
}

TEST_F(HttpsClientTest, CertificatesAreChecked) {
    // A server that demands a client certificate gets one from the settings, with a
    // key that the pass phrase unlocks.
    {
        ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close(),
                          server_tls(true));
        nlohmann::json settings = certs->client_settings();
        settings["key"] = certs->client_key_encrypted;
        settings["pass"] = certs->pass;
        EXPECT_EQ(body_of(get_tls(peer.url(), settings)), "ok");
    }
    // A server certificate that no trusted CA signed fails the handshake: the made-up 503,
    // and even "verify": false does not turn the check off on the client side.
    {
        const KeyPair rogue = certs->make_untrusted("localhost");
        ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close(),
                          PeerTls{rogue.cert, rogue.key, "", false});
        nlohmann::json settings = certs->client_settings();
        settings["verify"] = false;
        expect_made_up_503(get_tls(peer.url(), settings));
    }
}

TEST_F(HttpsClientTest, CancelDuringTheHandshakeNeverCallsBack) {
    // A plain peer that never answers the TLS hello: the handshake stays pending.
    ScriptedPeer peer(Script().hold(10s));
    Outcome out;
    {
        auto c = std::make_shared<HttpClientT<TlsSession>>("tls-test", io, certs->client_settings());
        c->callback = [&out](Response&& r) { out.take(std::move(r)); };
        ASSERT_TRUE(c->send(http::verb::get, Url(url_of(peer.port(), "/", "https")), std::string_view{}, {}, 11));
        ASSERT_TRUE(wait_for([&] { return !peer.record(0).received.empty(); }, 5s));  // the hello
        c->cancel(net::error::operation_aborted);
    }
    ASSERT_TRUE(wait_for([] { return live() == 0; }, 5s));
    EXPECT_EQ(out.calls, 0);
}

TEST_F(HttpsClientTest, HandshakeThatNeverEndsTimesOut) {
    ScriptedPeer peer(Script().hold(30s));
    const auto begin = std::chrono::steady_clock::now();
    expect_made_up_503(get_tls(url_of(peer.port(), "/", "https"), certs->client_settings(), 15s));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 9500ms);
}

}  // namespace
#endif
