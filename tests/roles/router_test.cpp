#include "roles/router.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/config.hpp"
#include "network/tcp_session.hpp"
#include "network/tls_session.hpp"
#include "rules/error-rule.hpp"
#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeTopology;
using testsupport::wait_for;
using namespace std::chrono_literals;

struct Answer {
    int status = 0;
    std::string head;  // status line and fields
    std::string body;
    json doc() const { return json::parse(body, nullptr, false); }
    bool has(const std::string& field_line) const {
        return head.find("\r\n" + field_line + "\r\n") != std::string::npos;
    }
};

Answer exchange(uint16_t port, const std::string& method, const std::string& target,
                const std::vector<std::string>& fields = {}, const std::string& body = {}) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: router\r\n";
    for (const auto& f : fields) request += f + "\r\n";
    if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    const std::string raw = testsupport::raw_exchange(port, request);
    Answer a;
    const auto end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return a;
    a.status = std::stoi(raw.substr(9, 3));
    a.head = raw.substr(0, end + 2);
    a.body = raw.substr(end + 4);
    return a;
}

// Live connection objects of this process, as a status answer counts them.
std::size_t live_sessions() {
    return framework::TcpSession::count_.load() + framework::TlsSession::count_.load();
}

std::string routed(const char* alias, const char* cluster, const char* rule, const char* url) {
    return json{{"alias", alias}, {"cluster", cluster}, {"rule", rule}, {"url", url}}.dump();
}

std::string refused(const std::string& error, const char* rule) {
    return json{{"error", error}, {"rule", rule}}.dump();
}

// Changes the working directory for one scope (the canned answers are read relative to it).
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) {
        char buf[PATH_MAX];
        if (::getcwd(buf, sizeof buf) != nullptr) saved_ = buf;
        ok_ = ::chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory() {
        if (!saved_.empty()) (void)!::chdir(saved_.c_str());
    }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_ = false;
};

// A rule that throws what it is given; one that skips while enabled.
class ThrowingRule : public Rule {
public:
    ThrowingRule(const RuleOwner& owner, bool standard) : Rule(owner, "Throwing"), standard(standard) {}
    Result get_route(const Request&) const override {
        if (standard) throw std::runtime_error("boom");
        throw 5;
    }
    std::string_view get_name() const override { return "Throwing"; }
    bool standard;
};

class SkippingRule : public Rule {
public:
    explicit SkippingRule(const RuleOwner& owner) : Rule(owner, "Skipping") {}
    bool is_enabled() const override { return true; }
    Result get_route(const Request&) const override { return Result(Result::Skip); }
    std::string_view get_name() const override { return "Skipping"; }
};

// A router whose chain is made of the rules above, ending with the error rule or not.
class TestRouter : public routing::Router {
public:
    TestRouter(const Config& config, bool with_error_rule)
        : Router(config), with_error_rule(with_error_rule) {}

protected:
    void build_chain() override {
        rules.push_back(std::make_unique<ThrowingRule>(*this, true));
        rules.push_back(std::make_unique<ThrowingRule>(*this, false));
        rules.push_back(std::make_unique<SkippingRule>(*this));
        if (with_error_rule) rules.push_back(std::make_unique<ErrorRule>(*this));
    }
    bool with_error_rule;
};

// The router served in this process on two event-loop threads, against a fake topology.
class RouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = testsupport::free_port();
        fake.set_document(FakeTopology::envelope(
            {FakeTopology::component("mav.a"), FakeTopology::component("MAV.B", "NORMAL", "mav.c", 10)}));
        // The level as the process had it: a document without one would set 4 for every later test.
        doc = {{"type", "ZEB"},
               {"mav_root", "MAV"},
               {"log", {{"level", "info"}}},
               {"work_dir", "/srv/w"},
               {"pid_file", "/tmp/r.pid"},
               {"router",
                {{"listen", "http://127.0.0.1:" + std::to_string(port)},
                 {"topology",
                  {{"url", fake.url()}, {"filter", json::parse(FakeTopology::kFilter)}, {"update_period_sec", 1}}},
                 {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}},
                 {"rules",
                  {{"VexForceNode", {{"enabled", true}}},
                   {"VexGoNode", {{"enabled", true}}},
                   {"VexRoute", {{"enabled", true}}},
                   {"VexTenant", {{"enabled", false}}}}}}}};
    }

    void TearDown() override { stop(); }

    // Loads `doc`, serves the router (or `custom`, built on `config`) and waits until it answers.
    void start(std::function<std::unique_ptr<routing::Router>(const Config&)> custom = {}) {
        ASSERT_TRUE(config.load(dir.write("travine.json", doc.dump())));
        router = custom ? custom(config) : std::make_unique<routing::Router>(config);
        thread = std::thread([this] {
            try {
                router->serve(2);
            } catch (const std::exception& e) {
                std::lock_guard guard(error_lock);
                error = e.what();
            }
            done = true;
        });
        const bool up = wait_for([&] {
            if (done) return true;
            testsupport::RawClient probe;
            return probe.connect(port, std::nullopt, 1s);
        });
        ASSERT_TRUE(up && !done) << error;
        // The probe connection has ended on the router's side too (a router that polls
        // itself counts its polls as well).
        ASSERT_TRUE(wait_for([&] { return router->total.load() >= 1; }));
    }

    void stop() {
        if (!thread.joinable()) return;
        boost::asio::post(router->get_io(), [r = router.get()] { r->on_stop(); });
        // Polling stops and the listener closes; the loop ends once the last connection has.
        if (!wait_for([&] { return done.load(); }, 15s)) {
            ADD_FAILURE() << "the router's event loop did not run out of work";
            router->get_io().stop();
        }
        thread.join();
    }

    json status() { return exchange(port, "GET", "/status").doc(); }

    uint64_t polled() {
        const auto s = status();
        return s.is_object() ? s["topology"]["success"].get<uint64_t>() : 0;
    }

    testsupport::TempDir dir;
    FakeTopology fake;
    uint16_t port = 0;
    json doc;
    Config config;
    std::unique_ptr<routing::Router> router;
    std::thread thread;
    std::atomic<bool> done{false};
    std::mutex error_lock;
    std::string error;
};

TEST_F(RouterTest, TopologyNotLoadedUntilTheFirstGoodPoll) {
    fake.set_failing(true);
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(fake.wait_polls(1));

    auto a = exchange(port, "GET", "/x", {"VEX-GO-NODE: mav.a"});
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, refused("topology not loaded", "VexGoNode"));
    auto t = exchange(port, "GET", "/topology").doc();
    EXPECT_TRUE(t.contains("topology") && t["topology"].is_null()) << t;
    EXPECT_EQ(t["version"], TRAVINE_VERSION);
    EXPECT_TRUE(t["uptime"].is_number_integer());
    EXPECT_EQ(status()["topology"]["failed"].get<uint64_t>() >= 1, true);

    fake.set_failing(false);
    ASSERT_TRUE(wait_for([&] { return polled() >= 1; }));
    a = exchange(port, "GET", "/x", {"VEX-GO-NODE: mav.a"});
    EXPECT_EQ(a.status, 200);
    t = exchange(port, "GET", "/topology").doc();
    EXPECT_EQ(t["topology"]["path"], "mav");
    EXPECT_EQ(t["topology"]["components"].size(), 2u);
}

TEST_F(RouterTest, RoutesAfterRenamingUnderscoreFields) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_for([&] { return polled() >= 1; }));

    struct Case {
        const char* name;
        std::vector<std::string> fields;
        const char* target;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"UnderscoreName", {"VEX_GO_NODE: mav.a"}, "/x?y=1", 200, routed("a", "@mav_a", "VexGoNode", "/x?y=1")},
        {"LowerCaseName", {"vex_force_node: MAV.B"}, "/b", 200, routed("b", "@mav_b", "VexForceNode", "/b")},
        {"UnknownNode", {"VEX-GO-NODE: mav.q"}, "/", 404, refused("contour 'mav.q' not found in topology", "VexGoNode")},
        // After the renaming the field occurs twice: the rule does not apply.
        {"TwiceAfterRenaming", {"VEX-GO-NODE: mav.a", "VEX_GO_NODE: mav.b"}, "/", 404, refused("route not found", "NoRoute_Error404")},
        {"NoRoutingField", {}, "/status?x=1", 404, refused("route not found", "NoRoute_Error404")},
        {"DisabledRuleField", {"VEX-TENANT: t1"}, "/status/", 404, refused("route not found", "NoRoute_Error404")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto a = exchange(port, "GET", c.target, c.fields);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.body, c.body);
        EXPECT_TRUE(a.has("Content-Type: application/json")) << a.head;
        EXPECT_TRUE(a.has("Cache-Control: no-store")) << a.head;
        EXPECT_TRUE(a.has("Connection: close")) << a.head;
    }
}

TEST_F(RouterTest, NodeInRepairAfterAPollIsRefused) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_for([&] { return polled() >= 1; }));
    EXPECT_EQ(exchange(port, "GET", "/x", {"VEX-GO-NODE: mav.a"}).status, 200);

    fake.set_document(FakeTopology::envelope({FakeTopology::component("mav.a", "REPAIR")}));
    Answer a;
    ASSERT_TRUE(wait_for([&] {
        a = exchange(port, "GET", "/x", {"VEX-GO-NODE: mav.a"});
        return a.status != 200;
    }, 10s, 50ms));
    EXPECT_EQ(a.status, 403);
    EXPECT_EQ(a.body, refused("contour 'mav.a' in REPAIR state", "VexGoNode"));
    // Forcing the node still reaches it.
    EXPECT_EQ(exchange(port, "GET", "/x", {"VEX-FORCE-NODE: mav.a"}).status, 200);
}

TEST_F(RouterTest, StatusCountsConnectionsRulesAndPolls) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_for([&] { return polled() >= 1; }));

    auto s = status();
    EXPECT_EQ(s["version"], TRAVINE_VERSION);
    EXPECT_TRUE(s["uptime"].is_number_integer() && s["uptime"].get<int64_t>() >= 0);
    EXPECT_EQ(s["gw_type"], "ZEB");
    EXPECT_EQ(s["work_dir"], "/srv/w");
    EXPECT_EQ(s["pid_file"], "/tmp/r.pid");
    EXPECT_EQ(s["mav_root"], "mav");
    // Only the enabled rules, in chain order, the error rule last.
    std::vector<std::string> names;
    for (const auto& r : s["routing"]["rules"]) names.push_back(r["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"VexForceNode", "VexGoNode", "VexRoute", "NoRoute_Error404"}));
    EXPECT_EQ(s["routing"]["rules"][1]["config"], (json{{"enabled", true}, {"hash", json::array()}, {"routing", json::object()}}));
    // Live connections but the asking one: what remains is the topology client's request
    // (the probes' connections may take a moment to end).
    EXPECT_TRUE(wait_for([&] { return status()["routing"]["active"] == 1u; }));

    // The asking connection of that last status is counted only once it is gone, after
    // its answer: read the count when nothing but the topology client's request lives
    // (the count goes up before a connection leaves the live sessions).
    ASSERT_TRUE(wait_for([] { return live_sessions() == 1; }));
    const uint64_t before = router->total.load();
    EXPECT_EQ(exchange(port, "GET", "/", {"VEX-GO-NODE: mav.a"}).status, 200);
    EXPECT_EQ(exchange(port, "GET", "/", {"VEX-GO-NODE: mav.b"}).status, 200);
    EXPECT_EQ(exchange(port, "GET", "/", {"VEX-GO-NODE: mav.q"}).status, 404);
    EXPECT_EQ(exchange(port, "GET", "/").status, 404);
    ASSERT_TRUE(wait_for([&] { return router->total.load() == before + 4; }));

    // A connection that holds its request open is live until it goes.
    testsupport::RawClient held;
    ASSERT_TRUE(held.connect(port));
    ASSERT_TRUE(held.send("GET / HTTP/1.1\r\n"));
    ASSERT_TRUE(wait_for([&] { return status()["routing"]["active"] == 2u; }));
    held.close();
    ASSERT_TRUE(wait_for([&] { return status()["routing"]["active"] == 1u; }));

    // A connection is counted when it is gone, just after its client has the answer: the
    // document shows the counter once the last asking connection has been counted.
    EXPECT_TRUE(wait_for([&] {
        const uint64_t ended = router->total.load();
        s = status();
        return s["routing"]["total"] == ended;
    }));
    const auto& rules = s["routing"]["rules"];
    EXPECT_EQ(rules[1]["success"], 2u);  // VexGoNode
    EXPECT_EQ(rules[1]["failed"], 1u);
    EXPECT_EQ(rules[3]["failed"], 1u);   // NoRoute_Error404
    EXPECT_EQ(rules[0]["success"], 0u);
    EXPECT_GE(s["topology"]["success"].get<uint64_t>(), 1u);
    EXPECT_EQ(s["topology"]["failed"], 0u);
}

TEST_F(RouterTest, DispatchesByMethodAndTarget) {
    const std::string examples = std::string(TRAVINE_SOURCE_DIR) + "/examples";
    WorkingDirectory cwd(examples);
    ASSERT_TRUE(cwd.ok());
    ASSERT_NO_FATAL_FAILURE(start());
    const auto file = [&](const char* name) {
        return testsupport::read_file(examples + "/mock_responces/" + name);
    };

    struct Case {
        const char* method;
        const char* target;
        int status;
        std::string body;  // exact, or "*" for a JSON object
    };
    const Case cases[] = {
        {"GET", "/STATUS", 200, "*"},
        {"GET", "/Topology", 200, "*"},
        {"HEAD", "/status", 405, ""},
        {"POST", "/status", 400, ""},
        {"PUT", "/x", 405, ""},
        {"DELETE", "/status", 405, ""},
        {"OPTIONS", "/", 405, ""},
        {"POST", "/mock/routetoken", 200, file("route-token.json")},
        {"POST", "/MOCK/Topology", 200, file("si-topology-info.json")},
        {"POST", "/mock/leaf-components", 200, file("si-leaf-components.json")},
        {"POST", "/mock/leaf-components?x=1", 400, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        const auto a = exchange(port, c.method, c.target, {}, c.method == std::string("POST") ? "{\"q\":1}" : "");
        EXPECT_EQ(a.status, c.status);
        if (c.body == "*") {
            EXPECT_TRUE(a.doc().is_object()) << a.body;
        } else {
            EXPECT_EQ(a.body, c.body);
        }
        if (c.status == 400 || c.status == 405) {
            EXPECT_TRUE(a.has("Content-Length: 0")) << a.head;
        }
        if (c.status == 200) {
            EXPECT_TRUE(a.has("Content-Type: application/json")) << a.head;
        }
    }

    // Without the canned files the answer is a 503 with an empty body.
    WorkingDirectory empty(dir.path());
    ASSERT_TRUE(empty.ok());
    const auto a = exchange(port, "POST", "/mock/topology");
    EXPECT_EQ(a.status, 503);
    EXPECT_EQ(a.body, "");
}

// The router polls its own canned leaf components: the demo that the bundled example runs.
TEST_F(RouterTest, ServesTheBundledDemoTopology) {
    const std::string examples = std::string(TRAVINE_SOURCE_DIR) + "/examples";
    WorkingDirectory cwd(examples);
    ASSERT_TRUE(cwd.ok());
    doc["router"]["topology"]["url"] = "http://127.0.0.1:" + std::to_string(port) + "/mock/leaf-components";
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_for([&] { return polled() >= 1; }));

    EXPECT_EQ(exchange(port, "GET", "/a", {"VEX-GO-NODE: mav.zone1.node2"}).body,
              routed("zone1.node2", "@mav_zone1_node2", "VexGoNode", "/a"));
    EXPECT_EQ(exchange(port, "GET", "/a", {"VEX-GO-NODE: mav.zone2.node2"}).status, 403);
    // The canned route token names the master node of the platform root.
    const auto token = json::parse(testsupport::read_file(examples + "/mock_responces/route-token.json"));
    const std::string field = "VEX-ROUTE: " + token["body"]["token"].get<std::string>();
    EXPECT_EQ(exchange(port, "GET", "/t", {field}).body,
              routed("zone1.node1", "@mav_zone1_node1", "VexRoute", "/t"));
}

TEST_F(RouterTest, ThrowingRulesAreSkippedAndAChainWithoutAnswerAnswers503) {
    ASSERT_NO_FATAL_FAILURE(start([](const Config& c) { return std::make_unique<TestRouter>(c, true); }));
    auto a = exchange(port, "GET", "/");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, refused("route not found", "NoRoute_Error404"));
    stop();

    done = false;
    port = testsupport::free_port();
    doc["router"]["listen"] = "http://127.0.0.1:" + std::to_string(port);
    ASSERT_NO_FATAL_FAILURE(start([](const Config& c) { return std::make_unique<TestRouter>(c, false); }));
    a = exchange(port, "GET", "/");
    EXPECT_EQ(a.status, 503);
    EXPECT_EQ(a.body, R"({"error":"no rule answered"})");
    EXPECT_TRUE(a.has("Content-Type: application/json")) << a.head;
}

TEST(RouterMain, FailsWithoutItsSectionOrAUsablePort) {
    testsupport::TempDir dir;
    Config config;
    ASSERT_TRUE(config.load(dir.write("a.json", R"({"type": "ZEB", "mav_root": "mav", "log": {"level": "info"}})")));
    {
        routing::Router router(config);
        EXPECT_THROW(router.serve(1), std::runtime_error);
    }

    json doc = {{"type", "ZEB"},
                {"mav_root", "mav"},
                {"log", {{"level", "info"}}},
                {"router",
                 {{"listen", "http://127.0.0.1:0"},
                  {"topology", {{"url", "http://127.0.0.1:1/t"}, {"filter", json::array()}}},
                  {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}}}}};
    Config with_port_0;
    ASSERT_TRUE(with_port_0.load(dir.write("b.json", doc.dump())));
    ASSERT_NE(with_port_0.get_router(), nullptr);
    routing::Router router(with_port_0);
    EXPECT_THROW(router.serve(1), std::runtime_error);
}

// In a forked child, as the process pool runs it: the missing section ends it with 99.
TEST(RouterMain, ChildWithoutSectionExits99) {
    testsupport::TempDir dir;
    Config config;
    ASSERT_TRUE(config.load(dir.write("a.json", R"({"type": "ZEB", "mav_root": "mav", "log": {"level": "info"}})")));
    routing::Router router(config);
    ASSERT_TRUE(router.start());
    ASSERT_TRUE(wait_for([&] { return router.wait(WNOHANG); }));
    EXPECT_TRUE(WIFEXITED(router.status));
    EXPECT_EQ(framework::Process::result_type(router.status).get(), 99);
}

}  // namespace

namespace {

// The logger is process-wide: the router runs in a forked child whose log goes to a file.
TEST(RouterWorker, VexRestIdNamesTheConnectionInItsLogLines) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    const uint16_t port = testsupport::free_port();
    const json doc = {{"type", "ZEB"},
                      {"mav_root", "mav"},
                      {"log", {{"level", "info"}, {"redirect", log}}},
                      {"router",
                       {{"listen", "http://127.0.0.1:" + std::to_string(port)},
                        {"topology", {{"url", "http://127.0.0.1:1/t"}, {"filter", json::array()}}},
                        {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}}}}};
    const std::string path = dir.write("c.json", doc.dump());
    const std::string id(60, 'r');

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Config config;
        if (!config.load(path)) ::_exit(2);
        routing::Router router(config);
        std::thread loop([&] { router.serve(2); });
        const bool up = wait_for([&] {
            testsupport::RawClient probe;
            return probe.connect(port, std::nullopt, 1s);
        });
        exchange(port, "GET", "/x", {"Vex-Rest-Id: " + id});
        exchange(port, "GET", "/y", {"vex_rest_id: other"});
        boost::asio::post(router.get_io(), [&] { router.on_stop(); });
        loop.join();
        ::_exit(up ? 0 : 3);
    }
    int status = -1;
    const bool ended = wait_for([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 20s);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::string text = testsupport::read_file(log);
    EXPECT_NE(text.find(": " + id.substr(0, 47) + ": GET /x HTTP/1.1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(id.substr(0, 48)), std::string::npos) << text;
    // The renaming of '_' comes after the naming: this one keeps the connection's own name.
    const auto y = text.find(": GET /y HTTP/1.1\n");
    ASSERT_NE(y, std::string::npos) << text;
    const auto before = text.rfind('\n', y);
    const auto start = before == std::string::npos ? 0 : before + 1;
    const auto line = text.substr(start, y - start);
    EXPECT_NE(line.find(": worker("), std::string::npos) << line;
    EXPECT_EQ(text.find("other: "), std::string::npos) << text;
}

}  // namespace
