// The main road through the real program: a client's request enters a proxy, is routed by
// location mask or by asking the router, and is relayed to an upstream and back.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeTopology;
using testsupport::Script;
using testsupport::ScriptedPeer;
using testsupport::TempDir;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;

// An upstream that answers every request with its own name.
Script answer_with(const std::string& name) {
    return Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: " +
                                         std::to_string(name.size()) + "\r\n\r\n" + name).close();
}

struct Reply {
    int status = 0;
    std::string body;
};

Reply get(uint16_t port, const std::string& target, const std::string& fields = {}) {
    const std::string raw = testsupport::raw_exchange(
        port, "GET " + target + " HTTP/1.1\r\nHost: front\r\n" + fields + "\r\n");
    Reply r;
    const auto end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
    r.status = std::stoi(raw.substr(9, 3));
    r.body = raw.substr(end + 4);
    return r;
}

class Gateway : public ::testing::Test {
protected:
    json base(const std::string& type) const {
        return {{"mav_root", "MAV"},
                {"type", type},
                {"pid_file", dir.file("travine.pid")},
                {"log", {{"redirect", dir.file("travine.log")}, {"level", "debug"}}}};
    }
    std::string log() const { return testsupport::read_file(dir.file("travine.log")); }

    TempDir dir;
    const uint16_t proxy_port = testsupport::free_port();
};

// Masks in key order, weights 2:1 as a b a a b a, 404 for no mask, 429 past the rate.
TEST_F(Gateway, MaskPath) {
    ScriptedPeer a(answer_with("a")), b(answer_with("b")), limited(answer_with("l"));
    json doc = base("PLAIN");
    // Servers are taken in byte order of their URLs: make "a" the first.
    const bool a_first = a.url() < b.url();
    doc["proxy"] = {
        {"listen", "http://127.0.0.1:" + std::to_string(proxy_port)},
        {"locations", {{"/api/*", "@pair"}, {"/slow/*", "@limited"}}},
        {"@pair", {{a.url(), {{"weight", a_first ? 2 : 1}}}, {b.url(), {{"weight", a_first ? 1 : 2}}}}},
        {"@limited", {{"rate", "1r/m"}, {limited.url(), json::object()}}}};
    TravineProcess master({"-c", dir.write("travine.json", doc.dump())});
    ASSERT_TRUE(wait_for([&] { return testsupport::port_open(proxy_port); })) << log();

    std::string order;
    for (int i = 0; i < 6; ++i) {
        const Reply r = get(proxy_port, "/api/x");
        EXPECT_EQ(r.status, 200);
        order += r.body;
    }
    EXPECT_EQ(order, a_first ? "abaaba" : "babbab");
    EXPECT_EQ(get(proxy_port, "/other").status, 404);
    EXPECT_EQ(get(proxy_port, "/slow/1").status, 200);
    EXPECT_EQ(get(proxy_port, "/slow/2").status, 429);

    const json status = json::parse(get(proxy_port, "/proxy/status").body, nullptr, false);
    const json* counts = nullptr;
    if (status.contains("@pair") && status["@pair"].contains(a.url())) counts = &status["@pair"][a.url()];
    ASSERT_TRUE(counts) << status.dump();
    EXPECT_EQ(counts->value("200", 0), a_first ? 4 : 2) << status.dump();
    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait());
    EXPECT_EQ(master.exit_code(), 0);
}

// A ZEB gateway asks the real router, which polls a fake topology service.
TEST_F(Gateway, ZebPathThroughTheRouter) {
    ScriptedPeer upstream(answer_with("node-a"));
    FakeTopology topology;
    topology.set_document(FakeTopology::envelope({FakeTopology::component("mav.a")}));
    const uint16_t router_port = testsupport::free_port();
    json doc = base("ZEB");
    doc["router"] = {
        {"listen", "http://127.0.0.1:" + std::to_string(router_port)},
        {"topology",
         {{"url", topology.url()}, {"filter", json::parse(FakeTopology::kFilter)}, {"update_period_sec", 1}}},
        {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}},
        {"rules", {{"VexGoNode", {{"enabled", true}}}}}};
    doc["proxy"] = {{"listen", "http://127.0.0.1:" + std::to_string(proxy_port)},
                    {"@mav_a", {{upstream.url(), json::object()}}}};
    TravineProcess master({"-c", dir.write("travine.json", doc.dump())});
    ASSERT_TRUE(wait_for([&] {
        return testsupport::port_open(proxy_port) && topology.polls() >= 1;
    })) << log();

    Reply routed;
    ASSERT_TRUE(wait_for([&] {
        routed = get(proxy_port, "/x", "vex_go_node: mav.a\r\n");
        return routed.status == 200;
    })) << routed.status << " " << routed.body << log();
    EXPECT_EQ(routed.body, "node-a");
    EXPECT_NE(upstream.record(0).received.find("GET /x HTTP/1.1"), std::string::npos);

    // The router's refusal reaches the client with its body.
    const Reply refused = get(proxy_port, "/x", "vex-go-node: mav.q\r\n");
    EXPECT_EQ(refused.status, 404);
    EXPECT_NE(refused.body.find("contour 'mav.q' not found in topology"), std::string::npos)
        << refused.body;

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait(20s));
    EXPECT_EQ(master.exit_code(), 0);
}

}  // namespace
