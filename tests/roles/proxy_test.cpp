// Request handling of the proxy role, served in-process on a free loopback port in front of
// real loopback upstreams (and a fake router) written for the tests.
#include "roles/proxy.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.hpp"
#include "support/certs.hpp"
#include "support/late_upstream.hpp"
#include "support/log_capture.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::LateUpstream;
using testsupport::LogCapture;
using testsupport::PeerTls;
using testsupport::Script;
using testsupport::ScriptedPeer;
using testsupport::TempDir;
using testsupport::wait_for;
using namespace std::chrono_literals;

// One answer as the client read it.
struct Reply {
    int status = 0;
    std::string head;  // status line and fields
    std::string body;

    explicit Reply(const std::string& raw) {
        const auto end = raw.find("\r\n\r\n");
        head = raw.substr(0, end);
        if (end != std::string::npos) body = raw.substr(end + 4);
        if (raw.rfind("HTTP/1.1 ", 0) == 0) status = std::stoi(raw.substr(9, 3));
    }
    bool has(const std::string& field) const {
        return (head + "\r\n").find("\r\n" + field + "\r\n") != std::string::npos;
    }
    bool has_name(const std::string& name) const {
        return head.find("\r\n" + name + ":") != std::string::npos;
    }
};

// The proxy named "proxy" of a configuration document, loaded from a file and served on two
// loops of this process, each with its own listener on the one port.
class RunningProxy {
public:
    explicit RunningProxy(const json& doc) {
        path_ = dir_.write("travine.json", doc.dump());
        if (!config.load(path_)) throw std::runtime_error("config did not load");
        proxy = std::make_unique<proxy::Proxy>(config, "proxy");
        proxy->open(2);
        loop_ = std::thread([this] {
            proxy->serve();
            done_ = true;
        });
    }
    ~RunningProxy() {
        net::post(proxy->get_io(), [p = proxy.get()] { p->on_stop(); });
        // Exchanges still under way end within their own limits.
        if (!wait_for([this] { return done_.load(); }, 30s)) proxy->get_io().stop();
        loop_.join();
    }
    RunningProxy(const RunningProxy&) = delete;
    RunningProxy& operator=(const RunningProxy&) = delete;

    uint16_t port() const { return ntohs(proxy->get_config()->listen.addr.sin_port); }

    Reply exchange(const std::string& request, std::chrono::milliseconds deadline = 5s,
                   std::optional<PeerTls> tls = std::nullopt) const {
        return Reply(testsupport::raw_exchange(port(), request, deadline, tls));
    }
    Reply get(const std::string& target, const std::string& fields = {}) const {
        return exchange("GET " + target + " HTTP/1.1\r\nHost: front\r\n" + fields + "\r\n");
    }
    json status(std::optional<PeerTls> tls = std::nullopt) const {
        const Reply r = exchange("GET /proxy/status HTTP/1.1\r\nHost: front\r\n\r\n", 5s, tls);
        return json::parse(r.body, nullptr, false);
    }
    // Waits until no connection but the asking one is left.
    bool settled() const {
        return wait_for([this] { return status().value("objects", json(-1)) == json(0); }, 10s, 20ms);
    }

    Config config;
    std::unique_ptr<proxy::Proxy> proxy;

private:
    TempDir dir_;
    std::string path_;
    std::thread loop_;
    std::atomic<bool> done_{false};
};

std::string listen_url(const char* scheme = "http") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(testsupport::free_port());
}

json document(const json& section, const char* type = "PROXY") {
    return {{"type", type}, {"mav_root", "root"}, {"work_dir", "/tmp"},
            {"pid_file", "/tmp/proxy-test.pid"}, {"log", {{"level", "info"}}}, {"proxy", section}};
}

std::string answer(const std::string& body, const std::string& fields = {}) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + fields +
           "\r\n" + body;
}

// A server that answers every request with `raw` and closes.
std::unique_ptr<ScriptedPeer> upstream(const std::string& raw, std::optional<PeerTls> tls = std::nullopt) {
    return std::make_unique<ScriptedPeer>(Script().read_request().write(raw).close(), tls);
}

TEST(ProxyMaskPath, RoutesLimitsAndCounts) {
    LogCapture log;
    auto a = upstream(answer("a"));
    auto b = upstream(answer("b"));
    const json section = {
        {"listen", listen_url()},
        {"locations",
         {{"/rr/*", "@rr"}, {"/lim/*", "@limited"}, {"/e/*", "@empty"}, {"/el/*", "@empty_limited"},
          {"/s/*", "@missing"}, {"/s?*", "@rr"}}},
        {"@rr", {{a->url(""), {{"weight", 2}}}, {b->url(""), {{"weight", 1}}}}},
        {"@limited", {{"rate", "1r/m"}, {a->url(""), json::object()}}},
        {"@empty", json::object()},
        {"@empty_limited", {{"rate", "1r/s"}}},
    };
    RunningProxy p(document(section));

    // Weights 2:1, and the request goes out with the client's target, Host and Connection set.
    std::string seen;
    for (int i = 0; i < 6; ++i) {
        const Reply r = p.get("/rr/x?q=" + std::to_string(i), i == 0 ? "vex-rest-id: abc\r\n" : "");
        ASSERT_EQ(r.status, 200) << r.head;
        seen += r.body;
    }
    EXPECT_EQ(seen, "abaaba");
    ASSERT_TRUE(a->wait_done(1));
    const std::string first = a->record(0).received;
    EXPECT_EQ(first.rfind("GET /rr/x?q=0 HTTP/1.1\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("Host: 127.0.0.1:" + std::to_string(a->port()) + "\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("Connection: close\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("vex-rest-id: abc\r\n"), std::string::npos) << first;
    EXPECT_TRUE(log.has_line("abc: using @rr by mask /rr/*")) << log.text();

    const struct {
        const char* method;
        const char* target;
        int status;
        const char* body;  // null: not looked at
    } cases[] = {
        {"GET", "/s/x", 200, "a"},        // "/s/*" names no upstream and is passed over
        {"GET", "/lim/1", 200, "a"},
        {"GET", "/lim/2", 429, ""},       // one request a minute per client address
        {"GET", "/e/1", 503, ""},         // no servers, no limit
        {"GET", "/el/1", 404, ""},        // no servers, with a limit
        {"GET", "/zzz", 404, ""},         // no mask matches
        {"GET", "/proxy/status?x", 404, ""},  // a query makes it an ordinary target
        {"POST", "/proxy/status", 404, ""},
        {"GET", "/PROXY/Status", 200, nullptr},
    };
    for (const auto& c : cases) {
        const Reply r = p.exchange(std::string(c.method) + " " + c.target +
                                   " HTTP/1.1\r\nHost: front\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << "\n" << r.head;
        if (c.body) {
            EXPECT_EQ(r.body, c.body) << c.target;
        }
        if (c.status != 200) {
            EXPECT_TRUE(r.has("Cache-Control: no-store")) << r.head;
            EXPECT_TRUE(r.has("Connection: close")) << r.head;
        }
    }
    EXPECT_TRUE(log.text().find("too many requests from 127.0.0.1") != std::string::npos);

    // Relayed answers are counted per peer; refused and unroutable requests nowhere.
    ASSERT_TRUE(p.settled());
    json doc = p.status();
    for (const char* key : {"version", "uptime", "work_dir", "pid_file", "objects"}) doc.erase(key);
    const json expected = {
        {"@rr", {{a->url(""), {{"200", 5}}}, {b->url(""), {{"200", 2}}}}},
        {"@limited", {{a->url(""), {{"200", 1}}}}},
    };
    EXPECT_EQ(doc, expected) << doc.dump();
}

TEST(ProxyMaskPath, FreshStatusDocument) {
    const json section = {{"listen", listen_url()}, {"@u", {{"http://127.0.0.1:1", json::object()}}}};
    RunningProxy p(document(section));
    const json doc = p.status();
    EXPECT_EQ(doc.size(), 5u) << doc.dump();
    EXPECT_EQ(doc["version"], TRAVINE_VERSION);
    EXPECT_EQ(doc["objects"], 0);
    EXPECT_EQ(doc["work_dir"], "/tmp");
    EXPECT_EQ(doc["pid_file"], "/tmp/proxy-test.pid");
    EXPECT_TRUE(doc["uptime"].is_number_integer());
}

TEST(ProxyRelay, ClosedChunkedAndRebuiltFraming) {
    auto closes = std::make_unique<ScriptedPeer>(Script().read_request().close());
    auto chunked = upstream(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Up: 1\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
    auto echo = upstream(answer("ok"));
    const json section = {
        {"listen", listen_url()},
        {"locations", {{"/closes*", "@closes"}, {"/chunked*", "@chunked"}, {"/echo*", "@echo"}}},
        {"@closes", {{closes->url(""), json::object()}}},
        {"@chunked", {{chunked->url(""), json::object()}}},
        {"@echo", {{echo->url(""), json::object()}}},
    };
    RunningProxy p(document(section));

    const Reply closed = p.get("/closes");
    EXPECT_EQ(closed.status, 503);
    EXPECT_EQ(closed.body, "");
    EXPECT_TRUE(closed.has("Cache-Control: no-store")) << closed.head;
    EXPECT_TRUE(closed.has("Connection: close")) << closed.head;

    // The upstream's fields are kept, its framing is recomputed from the body.
    const Reply whole = p.get("/chunked");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, "hello world");
    EXPECT_TRUE(whole.has("Content-Length: 11")) << whole.head;
    EXPECT_TRUE(whole.has("X-Up: 1")) << whole.head;
    EXPECT_FALSE(whole.has_name("Transfer-Encoding")) << whole.head;

    // A chunked request body goes out with a Content-Length of its own, and bytes after the
    // request (a second one) are never forwarded.
    const Reply posted = p.exchange(
        "POST /echo HTTP/1.1\r\nHost: front\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n0\r\n\r\nGET /admin HTTP/1.1\r\nHost: front\r\n\r\n");
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.body, "ok");
    ASSERT_TRUE(echo->wait_done(1));
    const std::string sent = echo->record(0).received;
    EXPECT_EQ(sent.rfind("POST /echo HTTP/1.1\r\n", 0), 0u) << sent;
    EXPECT_NE(sent.find("Content-Length: 5\r\n"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("Transfer-Encoding"), std::string::npos) << sent;
    EXPECT_EQ(sent.substr(sent.size() - 9), "\r\n\r\nhello") << sent;
    EXPECT_EQ(sent.find("/admin"), std::string::npos) << sent;

    ASSERT_TRUE(p.settled());
    const json doc = p.status();
    EXPECT_EQ(doc["@closes"][closes->url("")], json({{"503", 1}})) << doc.dump();
    EXPECT_EQ(doc["@chunked"][chunked->url("")], json({{"200", 1}})) << doc.dump();
    EXPECT_EQ(echo->accepted(), 1u);
}

TEST(ProxyRelay, AmbiguousFramingIsNeverForwarded) {
    LogCapture log;
    auto up = upstream(answer("forwarded"));
    const json section = {
        {"listen", listen_url()}, {"locations", {{"*", "@u"}}}, {"@u", {{up->url(""), json::object()}}}};
    RunningProxy p(document(section));

    const struct {
        const char* fields;
        const char* body;
        int status;  // 0: the connection is closed without an answer (the parser refused it)
    } cases[] = {
        {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", "0\r\n\r\nhello", 0},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\nhello", 0},
        {"Transfer-Encoding: gzip\r\nContent-Length: 5\r\n", "hello", 400},
        {"Content-Length: 5\r\nTransfer-Encoding: gzip\r\n", "hello", 0},
        {"Transfer-Encoding: chunked, gzip\r\n", "5\r\nhello\r\n0\r\n\r\n", 400},
        {"Transfer-Encoding: gzip\r\n", "hello", 400},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", "hello!", 0},
        {"Content-Length: 5, 6\r\n", "hello!", 0},
        {"Content-Length: abc\r\n", "hello", 0},
        {"Content-Length: -5\r\n", "hello", 0},
        {"Content-Length: 5\r\nTransfer-Encoding: identity\r\n", "hello", 0},
    };
    for (const auto& c : cases) {
        const Reply r = p.exchange(std::string("POST /x HTTP/1.1\r\nHost: front\r\n") + c.fields + "\r\n" + c.body);
        EXPECT_EQ(r.status, c.status) << c.fields << r.head;
    }
    EXPECT_EQ(up->accepted(), 0u);
    EXPECT_NE(log.text().find("ambiguous message length"), std::string::npos);

    // Repeated equal lengths are one length: that request is sound and forwarded.
    const Reply same = p.exchange("POST /x HTTP/1.1\r\nHost: front\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(same.status, 200);
    ASSERT_TRUE(up->wait_done(1));
    const std::string sent = up->record(0).received;
    EXPECT_EQ(sent.find("Content-Length: 5\r\n"), sent.rfind("Content-Length: 5\r\n")) << sent;
}

// The fake router answers request i with replies[i].
std::unique_ptr<ScriptedPeer> router(std::vector<std::string> replies) {
    return std::make_unique<ScriptedPeer>([replies](size_t i) {
        Script s;
        s.read_request();
        if (i < replies.size() && !replies[i].empty())
            s.write(replies[i]).close();
        else
            s.close();
        return s;
    });
}

std::string router_answer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

json zeb_document(const json& section, const std::string& router_url) {
    json doc = document(section, "zeb");
    doc["router"] = {{"listen", router_url},
                     {"topology", {{"url", "http://127.0.0.1:1/"}, {"filter", json::array()}}},
                     {"route_token_service", {{"url", "http://127.0.0.1:1/"}}}};
    return doc;
}

TEST(ProxyZebPath, AsksTheRouterAndUsesItsAnswer) {
    LogCapture log;
    auto node = upstream(answer("from-node"));
    const std::string routed = R"({"alias":"a","cluster":"@root_a","rule":"zeb-host","url":"/elsewhere"})";
    const std::string not_found = R"({"error":"route not found","rule":"error"})";
    const std::string no_url = R"({"alias":"a","cluster":"@root_a","rule":"zeb-host"})";
    const std::string unknown = R"({"alias":"b","cluster":"@root_b","rule":"zeb-host","url":"/"})";
    auto fake = router({
        router_answer(200, routed),
        router_answer(404, not_found),
        router_answer(200, no_url),
        router_answer(200, "not json"),
        router_answer(200, R"({"cluster":5,"url":"/"})"),
        router_answer(200, ""),
        router_answer(200, unknown),
        "",  // closes without answering
    });
    const json section = {
        {"listen", listen_url()},
        {"locations", {{"*", "@root_a"}}},
        {"@root_a", {{node->url(""), json::object()}}},
    };
    RunningProxy p(zeb_document(section, fake->url("")));
    if (!p.config.get_router()) GTEST_SKIP() << "this build loads no router section";

    // Routed: the router is asked with GET, the target and the fields, without the body; the
    // server gets the client's own request.
    const Reply r = p.exchange(
        "POST /orig?x=1 HTTP/1.1\r\nHost: front\r\nvex-rest-id: zid\r\nX-A: 1\r\nX-A: 2\r\n"
        "Content-Length: 4\r\n\r\nbody");
    EXPECT_EQ(r.status, 200) << r.head;
    EXPECT_EQ(r.body, "from-node");
    ASSERT_TRUE(fake->wait_done(1));
    const std::string query = fake->record(0).received;
    EXPECT_EQ(query.rfind("GET /orig?x=1 HTTP/1.1\r\n", 0), 0u) << query;
    EXPECT_NE(query.find("vex-rest-id: zid\r\nX-A: 1\r\nX-A: 2\r\n"), std::string::npos) << query;
    EXPECT_NE(query.find("Host: 127.0.0.1:" + std::to_string(fake->port()) + "\r\n"), std::string::npos) << query;
    EXPECT_EQ(query.find("Content-Length"), std::string::npos) << query;
    EXPECT_EQ(query.find("body"), std::string::npos) << query;
    ASSERT_TRUE(node->wait_done(1));
    const std::string sent = node->record(0).received;
    EXPECT_EQ(sent.rfind("POST /orig?x=1 HTTP/1.1\r\n", 0), 0u) << sent;
    EXPECT_EQ(sent.substr(sent.size() - 8), "\r\n\r\nbody") << sent;
    EXPECT_TRUE(log.has_line("zid: using @root_a/127.0.0.1")) << log.text();
    EXPECT_TRUE(log.has_line("zid: all location(s) is skipped for ZEB")) << log.text();

    const struct {
        int status;
        std::string body;
        const char* line;  // a log line that must be there, or null
    } cases[] = {
        {404, not_found, nullptr},
        {502, no_url, "on_zeb_route: "},  // an unusable 200 is the router's failure
        {502, "not json", "on_zeb_route: "},
        {502, R"({"cluster":5,"url":"/"})", "on_zeb_route: "},
        {502, "", "on_zeb_route: "},
        {404, unknown, "unable to route to @root_b"},
        {503, "", nullptr},  // the router closed without answering
    };
    int n = 1;
    for (const auto& c : cases) {
        const std::string id = "case" + std::to_string(n++);
        const Reply reply = p.get("/t", "vex-rest-id: " + id + "\r\n");
        EXPECT_EQ(reply.status, c.status) << id << "\n" << reply.head;
        EXPECT_EQ(reply.body, c.body) << id;
        EXPECT_TRUE(reply.has("Content-Type: text/plain")) << id << "\n" << reply.head;
        if (c.line) {
            EXPECT_NE(log.text().find(id + ": " + c.line), std::string::npos) << id << "\n" << log.text();
        }
    }
    EXPECT_EQ(node->accepted(), 1u);
    ASSERT_TRUE(p.settled());
    EXPECT_EQ(p.status()["@root_a"], json({{node->url(""), {{"200", 1}}}}));
}

TEST(ProxyZebPath, RouterMissingOrDown) {
    LogCapture log;
    const json section = {{"listen", listen_url()}, {"@root_a", {{"http://127.0.0.1:1", json::object()}}}};
    {
        RunningProxy p(document(section, "ZEB"));
        const Reply r = p.get("/x", "vex-rest-id: nor\r\n");
        EXPECT_EQ(r.status, 503);
        EXPECT_TRUE(log.has_line("nor: no config for router")) << log.text();
    }
    RunningProxy p(zeb_document(section, listen_url()));  // nothing listens there
    if (!p.config.get_router()) GTEST_SKIP() << "this build loads no router section";
    const Reply r = p.get("/x");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "");
}

TEST(ProxyTls, HttpsListenerAndUpstream) {
    TempDir dir;
    const testsupport::Certs certs(dir.path());
    auto up = upstream(answer("over tls"), PeerTls{certs.server.cert, certs.server.key, "", false});
    const json section = {
        {"listen", listen_url("https")},
        {"locations", {{"*", "@u"}}},
        {"@u", {{up->url(""), json::object()}}},
    };
    json doc = document(section);
    doc["ssl"] = {{"server", certs.server_settings(false)}, {"client", certs.client_settings()}};
    RunningProxy p(doc);
    const PeerTls client{"", "", certs.ca_cert, true};

    const Reply r = p.exchange("GET /tls HTTP/1.1\r\nHost: front\r\n\r\n", 5s, client);
    EXPECT_EQ(r.status, 200) << r.head;
    EXPECT_EQ(r.body, "over tls");
    ASSERT_TRUE(up->wait_done(1));
    EXPECT_EQ(up->record(0).received.rfind("GET /tls HTTP/1.1\r\n", 0), 0u);
    ASSERT_TRUE(wait_for([&] { return p.status(client).value("objects", json(-1)) == json(0); }));
    EXPECT_EQ(p.status(client)["@u"][up->url("")], json({{"200", 1}}));
}

// Takes ten seconds: the outgoing request's own answer limit.
TEST(ProxySlowUpstream, NeverAnswersGivesTheRequestsOwn503) {
    auto silent = std::make_unique<ScriptedPeer>(Script().read_request().hold(30s));
    const json section = {
        {"listen", listen_url()}, {"locations", {{"*", "@u"}}}, {"@u", {{silent->url(""), json::object()}}}};
    RunningProxy p(document(section));
    const Reply r = p.exchange("GET /slow HTTP/1.1\r\nHost: front\r\n\r\n", 14s);
    EXPECT_EQ(r.status, 503) << r.head;
    ASSERT_TRUE(p.settled());
    EXPECT_EQ(p.status()["@u"][silent->url("")], json({{"503", 1}}));
}

// Takes about sixteen seconds: the connection's 15-second limit comes first when connecting to
// the server takes seven seconds, and the server's answer after it is counted but not sent.
TEST(ProxySlowUpstream, ConnectionLimitComesFirst) {
    LateUpstream late(7s, 9s, answer("late"));
    const json section = {
        {"listen", listen_url()}, {"locations", {{"*", "@u"}}}, {"@u", {{late.url(""), json::object()}}}};
    RunningProxy p(document(section));
    late.start();
    const Reply r = p.exchange("GET /late HTTP/1.1\r\nHost: front\r\n\r\n", 20s);
    EXPECT_EQ(r.status, 504) << r.head;
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(late.accepted());
    ASSERT_TRUE(wait_for([&] { return late.answered(); }, 5s));
    ASSERT_TRUE(p.settled());
    EXPECT_EQ(p.status()["@u"][late.url("")], json({{"200", 1}, {"proxy", {{"504", 1}}}}));
}


// Takes about sixteen seconds: a router answer that comes after the connection's 504 does not
// send the client's request to the server any more.
TEST(ProxySlowUpstream, LateRouterAnswerIsNotForwarded) {
    auto node = upstream(answer("from-node"));
    LateUpstream late(7s, 9s, router_answer(200, R"({"cluster":"@root_a","url":"/"})"));
    const json section = {{"listen", listen_url()}, {"@root_a", {{node->url(""), json::object()}}}};
    RunningProxy p(zeb_document(section, late.url("")));
    if (!p.config.get_router()) GTEST_SKIP() << "this build loads no router section";
    late.start();
    const Reply r = p.exchange("POST /late HTTP/1.1\r\nHost: front\r\nContent-Length: 1\r\n\r\nx", 20s);
    EXPECT_EQ(r.status, 504) << r.head;
    ASSERT_TRUE(wait_for([&] { return late.answered(); }, 5s));
    ASSERT_TRUE(p.settled());
    EXPECT_EQ(node->accepted(), 0u);
}

}  // namespace

namespace {

// The role as the master runs it: a forked child that serves until SIGTERM, and one whose
// section is missing, which fails at once with the exit code of a failed child.
// Kills and reaps a child that a failed expectation left running.
struct Reaper {
    proxy::Proxy& role;
    ~Reaper() {
        if (role.running != 1) return;
        role.kill(SIGKILL);
        role.wait(0);
    }
};

TEST(ProxyProcess, ChildServesStopsOnSigtermAndFailsWithoutSection) {
    LogCapture log;
    TempDir dir;
    const std::string url = listen_url();
    const json section = {{"listen", url}, {"@u", {{"http://127.0.0.1:1", json::object()}}}};
    Config config;
    ASSERT_TRUE(config.load(dir.write("travine.json", document(section).dump())));

    proxy::Proxy missing(config, "proxy-missing");
    const Reaper reap_missing{missing};
    ASSERT_TRUE(missing.start());
    ASSERT_TRUE(wait_for([&] { return missing.wait(WNOHANG); }));
    EXPECT_EQ(proxy::Proxy::result_type(missing.status).get(), 99);

    proxy::Proxy role(config, "proxy");
    const Reaper reap_role{role};
    ASSERT_TRUE(role.start());
    const uint16_t port = static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
    json doc;
    ASSERT_TRUE(wait_for([&] {
        const Reply r(testsupport::raw_exchange(port, "GET /proxy/status HTTP/1.1\r\n\r\n", 1s));
        doc = json::parse(r.body, nullptr, false);
        return r.status == 200;
    }));
    EXPECT_EQ(doc["objects"], 0) << doc.dump();
    EXPECT_TRUE(role.kill(SIGTERM));
    ASSERT_TRUE(wait_for([&] { return role.wait(WNOHANG); }));
    EXPECT_EQ(proxy::Proxy::result_type(role.status).get(), 0);
}

}  // namespace
