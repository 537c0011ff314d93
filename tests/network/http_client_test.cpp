// The outgoing HTTP request against real loopback peers, plain and TLS: every peer
// behaviour ends in exactly one callback (or none, for a cancel before the exchange),
// with the made-up 503 for every failure, and every client object is gone afterwards.
#include "network/http_client.hpp"

#include "network/server_fixture.hpp"
#include "support/certs.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using namespace testsupport;
using framework::HttpClientT;
using framework::HttpxClient;
using framework::TcpSession;
using framework::TlsSession;
using framework::Url;
using servertest::IoThreads;
using servertest::LogCapture;
using Response = HttpxClient::response_type;
using Request = HttpxClient::request_type;

constexpr int kThreads = 4;

// What the callbacks of one client received.
struct Outcome {
    std::mutex mu;
    std::vector<Response> answers;
    std::atomic<int> calls{0};

    // `calls` goes up last, outside the lock: a test that has seen it may destroy the
    // object (or the next loop pass build another in its place) at once.
    void take(Response&& r) {
        {
            std::lock_guard<std::mutex> lock(mu);
            answers.push_back(std::move(r));
        }
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

size_t live() { return TcpSession::count_.load() + TlsSession::count_.load(); }

// An event loop on several threads; at the end every client object must be gone.
class HttpClientTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(wait_for([] { return live() == 0; }, 15s)) << "live sessions: " << live();
    }

    std::shared_ptr<HttpClientT<TcpSession>> make_client(Outcome& out, const char* name = "client-test") {
        auto c = std::make_shared<HttpClientT<TcpSession>>(name, io);
        c->callback = [&out](Response&& r) { out.take(std::move(r)); };
        return c;
    }

    // Sends one bodiless request through `client` and lets go of it; waits for the
    // callback, then for the client to be gone, so that a second callback would have
    // been seen.
    static Response exchange(Outcome& out, std::shared_ptr<HttpxClient> client, const std::string& url,
                             http::verb verb = http::verb::get, std::chrono::milliseconds deadline = 5s) {
        EXPECT_TRUE(client->send(verb, Url(url), std::string_view{}, {}, 11));
        client.reset();
        EXPECT_TRUE(wait_for([&] { return out.calls > 0; }, deadline));
        EXPECT_TRUE(wait_for([] { return live() == 0; }));
        EXPECT_EQ(out.calls, 1);
        return out.first();
    }
    Response get(const std::string& url, http::verb verb = http::verb::get,
                 std::chrono::milliseconds deadline = 5s) {
        Outcome out;
        return exchange(out, make_client(out), url, verb, deadline);
    }

    IoThreads loop{kThreads};
    net::io_context& io = loop.io;
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
        EXPECT_TRUE(wait_for([] { return live() == 0; }));
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
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }));
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
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }));
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
        EXPECT_TRUE(wait_for([&] { return out.calls == 1; }));
    }
}

TEST_F(HttpClientTest, RequestLargerThanTheSocketBuffersIsSentInFull) {
    // Far more than a new loopback socket takes at once: the first send is partial and the
    // rest waits for the peer to read.
    ScriptedPeer peer(Script().read_request(20s).write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close());
    const std::string port = std::to_string(peer.port());
    std::string body(8 << 20, 'b');
    for (std::size_t i = 0; i < body.size(); i += 4096) body[i] = static_cast<char>('a' + (i / 4096) % 26);
    Request big{http::verb::post, "/big", 11};
    boost::beast::ostream(big.body()) << body;
    Outcome out;
    {
        auto c = make_client(out);
        ASSERT_TRUE(c->forward(Url("http://127.0.0.1:" + port + "/"), std::move(big)));
    }
    ASSERT_TRUE(wait_for([&] { return out.calls == 1; }, 20s));
    EXPECT_EQ(out.first().result_int(), 200u);
    ASSERT_TRUE(peer.wait_done(1));
    const std::string head = "POST /big HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                             "\r\nConnection: close\r\nContent-Length: 8388608\r\n\r\n";
    const std::string& received = peer.record(0).received;
    ASSERT_EQ(received.size(), head.size() + body.size());
    EXPECT_EQ(received.compare(0, head.size(), head), 0);
    EXPECT_TRUE(received.compare(head.size(), body.size(), body) == 0);
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
    ASSERT_TRUE(wait_for([&] { return out.calls == 1; }));
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
    ASSERT_TRUE(wait_for([&] { return out.calls == 1; }));
    EXPECT_EQ(out.first().result_int(), 200u);
    EXPECT_EQ(peer.accepted(), 1u);
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
    ASSERT_TRUE(wait_for([] { return live() == 0; }));
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
    ASSERT_TRUE(wait_for([&] { return sent.calls == 1 && forwarded.calls == 1; }));
    ASSERT_TRUE(wait_for([] { return live() == 0; }));
    const std::string log = capture.text();
    EXPECT_NE(log.find("sender: POST 127.0.0.1:" + port + "/a b HTTP/1.1, 7 byte(s)"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: >>> payload"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: X-Field: 'v1'"), std::string::npos) << log;
    EXPECT_NE(log.find("sender: status 404, 1 byte(s)"), std::string::npos) << log;
    EXPECT_NE(log.find("forwarder: status 404, 1 byte(s)"), std::string::npos) << log;
    EXPECT_EQ(log.find("forwarder: GET"), std::string::npos) << log;
    EXPECT_EQ(log.find("X-Relayed"), std::string::npos) << log;
}

// ---- the same over both transports ----------------------------------------------

// A client that lets a test run work on its strand and count the answer bytes that
// reached it.
template <class S>
class ProbeClient : public HttpClientT<S> {
public:
    using HttpClientT<S>::HttpClientT;
    template <class F>
    void on_strand(F f) {
        net::post(this->strand, std::move(f));
    }
    std::atomic<std::size_t> received{0};
    std::atomic<bool> connected{false};  // on_connect has run

protected:
    bool on_connect(boost::system::error_code& ec) override {
        left_ = 0;
        connected = true;
        return HttpClientT<S>::on_connect(ec);
    }
    bool on_read(boost::system::error_code& ec, const net::const_buffer& data) override {
        const std::size_t fresh = data.size() - left_;
        const bool go_on = HttpClientT<S>::on_read(ec, data);
        left_ = this->buffer.size();
        received += fresh;
        return go_on;
    }

private:
    std::size_t left_ = 0;  // bytes the parser left in the buffer at the last call
};

// The relay's path: forwarded from the client's own loop, a request to a loopback server is
// connected and written inside the call, and its answer is taken whether the server closes
// right after it (the end read at once) or only a while later (the end waited for).
TEST_F(HttpClientTest, ForwardFromItsLoopGoesOutAtOnceAndTakesTheAnswerAtTheClose) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const std::vector<std::pair<const char*, Script>> peers = {
        {"closed with the answer", Script().read_request().write(answer).close()},
        {"closed later", Script().read_request().write(answer).pause(300ms).close()},
    };
    for (const auto& [name, script] : peers) {
        SCOPED_TRACE(name);
        ScriptedPeer peer(script);
        Outcome out;
        std::promise<bool> connected_inside;
        {
            auto c = std::make_shared<ProbeClient<TcpSession>>("client-test", io);
            c->callback = [&out](Response&& r) { out.take(std::move(r)); };
            const Url url("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
            c->on_strand([c, url, &connected_inside] {
                Request req{http::verb::get, "/at-once", 11};
                EXPECT_TRUE(c->forward(url, std::move(req)));
                connected_inside.set_value(c->connected.load());
            });
            auto inside = connected_inside.get_future();
            ASSERT_EQ(inside.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(inside.get());
        }
        ASSERT_TRUE(wait_for([&] { return out.calls == 1; }));
        EXPECT_EQ(out.first().result_int(), 200u);
        EXPECT_EQ(body_of(out.first()), "ok");
        ASSERT_TRUE(wait_for([] { return live() == 0; }));
        EXPECT_EQ(out.calls, 1);
    }
}

// Plain TCP, or TLS against peers with certificates made for the test.
template <class S>
class EveryTransport : public HttpClientTest {
protected:
    static constexpr bool kTls = std::is_same_v<S, TlsSession>;

    void SetUp() override {
        if constexpr (kTls) certs.emplace(dir.path());
    }

    template <class Client = HttpClientT<S>>
    std::shared_ptr<Client> make(Outcome& out, const char* name = "client-test") {
        std::shared_ptr<Client> c;
        if constexpr (kTls)
            c = std::make_shared<Client>(name, io, certs->client_settings());
        else
            c = std::make_shared<Client>(name, io);
        c->callback = [&out](Response&& r) { out.take(std::move(r)); };
        return c;
    }
    std::optional<PeerTls> peer_tls() const {
        if constexpr (kTls) return PeerTls{certs->server.cert, certs->server.key, certs->ca_cert, false};
        return std::nullopt;
    }
    std::string url(uint16_t port, const char* host = "127.0.0.1") const {
        return std::string(kTls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/";
    }

    TempDir dir;
    std::optional<Certs> certs;
};

struct TransportName {
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, TlsSession> ? "Tls" : "Tcp";
    }
};
using Transports = ::testing::Types<TcpSession, TlsSession>;
TYPED_TEST_SUITE(EveryTransport, Transports, TransportName);

TYPED_TEST(EveryTransport, RefusedPortAndUnresolvableHostGiveOneMadeUp503) {
    for (const std::string& url : {this->url(free_port()), this->url(80, "no-such-host.invalid")}) {
        SCOPED_TRACE(url);
        Outcome out;
        expect_made_up_503(this->exchange(out, this->make(out), url));
    }
}

TYPED_TEST(EveryTransport, ClientCanBeReusedAfterItsAnswer) {
    // Each answer ends another way; the next request is sent from inside the callback,
    // as a poller does, while the last connection may still be closing.
    ScriptedPeer peer(
        [](size_t i) {
            const std::string n = std::to_string(i);
            switch (i % 3) {
                case 0: return Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n" + n).close();
                case 1: return Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n" + n).close_no_notify();
                default: return Script().read_header().write("HTTP/1.1 200 OK\r\n\r\n" + n).close();
            }
        },
        this->peer_tls());
    constexpr int kRequests = 6;
    Outcome out;
    auto c = this->make(out);
    const Url url(this->url(peer.port()));
    c->callback = [&, raw = c.get()](Response&& r) {
        out.take(std::move(r));
        if (out.calls < kRequests) raw->send(http::verb::get, url, std::string_view{}, {}, 11);
    };
    ASSERT_TRUE(c->send(http::verb::get, url, std::string_view{}, {}, 11));
    ASSERT_TRUE(wait_for([&] { return out.calls == kRequests; }, 20s)) << out.calls;
    c.reset();
    ASSERT_TRUE(wait_for([] { return live() == 0; }));
    std::lock_guard<std::mutex> lock(out.mu);
    ASSERT_EQ(out.answers.size(), size_t{kRequests});
    for (size_t i = 0; i < kRequests; ++i) {
        EXPECT_EQ(out.answers[i].result_int(), 200u) << i;
        EXPECT_EQ(body_of(out.answers[i]), std::to_string(i));
    }
}

TYPED_TEST(EveryTransport, CancelBeforeTheExchangeNeverCallsBack) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close(),
                      this->peer_tls());
    StalledListener stalled;
    using Probe = ProbeClient<TypeParam>;
    std::atomic<bool> early{false};
    struct Case {
        const char* name;
        std::string url;
        size_t connections;  // that reach the peer
        std::function<void(const std::shared_ptr<Probe>&)> cancel;
    };
    const std::vector<Case> cases = {
        {"while the name is looked up", this->url(peer.port(), "localhost"), 0,
         [](const std::shared_ptr<Probe>& c) { c->cancel({}); }},
        {"while the connection is made", this->url(stalled.port()), 0,
         // Queued behind the start, so the connect is under way.
         [](const std::shared_ptr<Probe>& c) {
             c->on_strand([c] { c->cancel(net::error::operation_aborted); });
         }},
        {"connected, but its completion queued behind the cancel", this->url(peer.port()), 1,
         [&](const std::shared_ptr<Probe>& c) {
             const size_t before = peer.accepted();
             c->on_strand([&peer, &early, c, before] {
                 // A loopback connect can complete before this is even queued: that run
                 // proves nothing and is made again.
                 early = c->connected.load();
                 peer.wait_accepted(before + 1, 10s);
                 c->cancel(net::error::operation_aborted);
             });
         }},
    };
    std::vector<size_t> proving;  // the peer's connections of runs that show the case
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        for (int attempt = 0; attempt < 20; ++attempt) {
            early = false;
            const size_t before = peer.accepted();
            Outcome out;
            {
                auto c = this->template make<Probe>(out, "probe");
                ASSERT_TRUE(c->send(http::verb::get, Url(k.url), std::string_view{}, {}, 11));
                k.cancel(c);
            }
            ASSERT_TRUE(wait_for([] { return live() == 0; }));
            if (early) continue;
            EXPECT_EQ(out.calls, 0);
            EXPECT_EQ(peer.accepted(), before + k.connections);
            for (size_t i = before; i < peer.accepted(); ++i) proving.push_back(i);
            break;
        }
        EXPECT_FALSE(early) << "the connect completed first in every run";
    }
    // Not a byte of a request was ever written.
    for (const size_t i : proving) {
        ASSERT_TRUE(peer.wait_done(i + 1));
        EXPECT_EQ(peer.record(i).received, "");
    }
}

TYPED_TEST(EveryTransport, RequestSentFromTheCallbackAndCancelledThereNeverCallsBack) {
    ScriptedPeer peer(Script().read_header().write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").close(),
                      this->peer_tls());
    Outcome out;
    auto c = this->make(out);
    const Url url(this->url(peer.port()));
    c->callback = [&, raw = c.get()](Response&& r) {
        out.take(std::move(r));
        // The owner gives up on the next request at once: it never starts.
        raw->send(http::verb::get, url, std::string_view{}, {}, 11);
        raw->cancel({});
    };
    ASSERT_TRUE(c->send(http::verb::get, url, std::string_view{}, {}, 11));
    c.reset();
    ASSERT_TRUE(wait_for([] { return live() == 0; }));
    EXPECT_EQ(out.calls, 1);
    EXPECT_EQ(peer.accepted(), 1u);
}

TYPED_TEST(EveryTransport, CancelDuringTheExchange) {
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
        ScriptedPeer peer(s.hold(10s), this->peer_tls());
        Outcome out;
        auto c = this->template make<ProbeClient<TypeParam>>(out);
        ASSERT_TRUE(c->send(http::verb::get, Url(this->url(peer.port())), std::string_view{}, {}, 11));
        ASSERT_TRUE(wait_for([&] { return !peer.record(0).received.empty(); }));
        ASSERT_TRUE(wait_for([&] { return c->received.load() == k.written.size(); }));
        c->cancel(net::error::operation_aborted);
        ASSERT_TRUE(wait_for([&] { return out.calls > 0; }));
        c.reset();
        ASSERT_TRUE(wait_for([] { return live() == 0; }));
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

// ---- HTTPS --------------------------------------------------------------------------

class HttpsClientTest : public EveryTransport<TlsSession> {
protected:
    PeerTls server_tls(bool verify_client = false) const {
        return PeerTls{certs->server.cert, certs->server.key, certs->ca_cert, verify_client};
    }
    // Sends a GET over TLS with `settings` and waits until the client is gone.
    Response get_tls(const std::string& url, const nlohmann::json& settings,
                     std::chrono::milliseconds deadline = 5s) {
        Outcome out;
        auto c = std::make_shared<HttpClientT<TlsSession>>("tls-test", io, settings);
        c->callback = [&out](Response&& r) { out.take(std::move(r)); };
        return exchange(out, std::move(c), url, http::verb::get, deadline);
    }
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
        {"chunked, no close_notify", Script().read_request().write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n").close_no_notify(), 200, "abc"},
        {"close mid-body", Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nsec").close(), 503, ""},
        {"cut mid-body", Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nsec").close_no_notify(), 503, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedPeer peer(k.script, server_tls());
        LogCapture log;
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
        // A peer that drops the connection without close_notify is no error of its own.
        EXPECT_EQ(log.text().find("stream truncated"), std::string::npos) << log.text();
    }
}

TEST_F(HttpsClientTest, ServerIsVerifiedAgainstTheCaWhateverVerifySays) {
    // "verify" is a server setting: a client checks the server's certificate always,
    // against the system's CAs and "cafile".
    const KeyPair rogue = certs->make_untrusted("localhost");
    const PeerTls untrusted{rogue.cert, rogue.key, "", false};
    auto with = [&](const char* key, nlohmann::json value) {
        nlohmann::json s = certs->client_settings();
        if (value.is_null())
            s.erase(key);
        else
            s[key] = std::move(value);
        return s;
    };
    nlohmann::json without_ca_verify_off = with("verify", false);
    without_ca_verify_off.erase("cafile");
    nlohmann::json encrypted = certs->client_settings();
    encrypted["key"] = certs->client_key_encrypted;
    encrypted["pass"] = certs->pass;
    struct Case {
        const char* name;
        PeerTls server;
        nlohmann::json settings;
        unsigned status;
    };
    const std::vector<Case> cases = {
        {"CA given", server_tls(), certs->client_settings(), 200},
        {"CA given, verify true", server_tls(), with("verify", true), 200},
        {"CA given, verify false", server_tls(), with("verify", false), 200},
        {"no CA file: the system's CAs do not know ours", server_tls(), with("cafile", nullptr), 503},
        {"no CA file, verify false", server_tls(), without_ca_verify_off, 503},
        {"untrusted server", untrusted, certs->client_settings(), 503},
        {"untrusted server, verify false", untrusted, with("verify", false), 503},
        {"client certificate demanded and given, key under a pass phrase", server_tls(true), encrypted, 200},
        {"client certificate demanded, none given", server_tls(true), with("cert", nullptr), 503},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close(),
                          k.server);
        const Response r = get_tls(peer.url(), k.settings);
        if (k.status == 503) {
            expect_made_up_503(r);
        } else {
            EXPECT_EQ(r.result_int(), 200u);
            EXPECT_EQ(body_of(r), "ok");
        }
    }
}

TEST_F(HttpsClientTest, FailedHandshakesGiveOneMadeUp503) {
    struct Case {
        const char* name;
        Script script;
    };
    // Plain peers: whatever they do, the client's handshake fails.
    const std::vector<Case> cases = {
        {"closes at once", Script().close()},
        {"resets at once", Script().reset()},
        {"answers in plain HTTP", Script().read_bytes(1).write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n").close()},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedPeer peer(k.script);
        expect_made_up_503(get_tls(url_of(peer.port(), "/", "https"), certs->client_settings()));
    }
}

TEST_F(HttpsClientTest, CancelDuringTheHandshakeNeverCallsBack) {
    // A plain peer that never answers the TLS hello: the handshake stays pending.
    ScriptedPeer peer(Script().hold(10s));
    Outcome out;
    {
        auto c = make(out);
        ASSERT_TRUE(c->send(http::verb::get, Url(url_of(peer.port(), "/", "https")), std::string_view{}, {}, 11));
        ASSERT_TRUE(wait_for([&] { return !peer.record(0).received.empty(); }));  // the hello
        c->cancel(net::error::operation_aborted);
    }
    ASSERT_TRUE(wait_for([] { return live() == 0; }));
    EXPECT_EQ(out.calls, 0);
}

TEST_F(HttpsClientTest, HandshakeThatNeverEndsTimesOut) {
    ScriptedPeer peer(Script().hold(30s));
    const auto begin = std::chrono::steady_clock::now();
    expect_made_up_503(get_tls(url_of(peer.port(), "/", "https"), certs->client_settings(), 15s));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 9500ms);
}

TEST_F(HttpsClientTest, ReusedClientReadsItsFilesAsTheyAreForEachRequest) {
    // One client object for several requests, as a poller keeps it. The server demands a
    // client certificate; the client's own goes away between two requests and comes back.
    const std::string cert = dir.write("mine.pem", read_file(certs->client.cert));
    nlohmann::json settings = certs->client_settings();
    settings["cert"] = cert;
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close(),
                      server_tls(true));
    Outcome out;
    auto c = std::make_shared<HttpClientT<TlsSession>>("tls-test", io, settings);
    c->callback = [&out](Response&& r) { out.take(std::move(r)); };
    const Url url(peer.url());
    auto status_of_next = [&]() -> unsigned {
        const int before = out.calls;
        EXPECT_TRUE(c->send(http::verb::get, url, std::string_view{}, {}, 11));
        EXPECT_TRUE(wait_for([&] { return out.calls > before; }));
        std::lock_guard<std::mutex> lock(out.mu);
        return out.answers.empty() ? 0u : out.answers.back().result_int();
    };
    EXPECT_EQ(status_of_next(), 200u);
    LogCapture log;
    ASSERT_EQ(::unlink(cert.c_str()), 0);
    EXPECT_EQ(status_of_next(), 503u);
    EXPECT_NE(log.text().find("ssl/client: use_certificate_chain_file"), std::string::npos) << log.text();
    dir.write("mine.pem", read_file(certs->client.cert));
    EXPECT_EQ(status_of_next(), 200u);
    c.reset();
}

}  // namespace
