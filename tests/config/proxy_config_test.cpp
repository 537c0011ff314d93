#include "config/proxy-config.hpp"

#include <gtest/gtest.h>

#include <string>

#include "config/config.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using config::ProxyConfig;
using config::Upstream;

TEST(ProxyConfigRate, IntervalFromRateText) {
    const struct {
        const char* rate;
        uint32_t interval_ms;
    } cases[] = {
        {"10r/s", 100},  {"3r/s", 333}, {"10r/m", 6000}, {"1r/m", 60000}, {"0r/s", 0},
        {"r/s", 0},      {"5", 0},      {"5r/h", 0},     {"2000r/s", 0},  {"5r/sec", 200},
        {"5 r/s", 0},    {" 4r/s", 250}, {"+4r/s", 250}, {"1000r/s", 1},  {"", 0},
        {"-1r/s", 0},  // strtoul wraps it to a huge count: below 1 ms, no limit
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Upstream::parse_rate(c.rate), c.interval_ms) << c.rate;
        EXPECT_EQ(Upstream(json{{"rate", c.rate}}).rate_interval_ms, c.interval_ms) << c.rate;
    }
    EXPECT_EQ(Upstream(json::object()).rate_interval_ms, 0u);
}

TEST(ProxyConfigUpstream, ServersBalancingAndWeights) {
    const Upstream u(json::parse(R"({
        "balancing": "least-conn", "rate": "2r/s", "note": 5,
        "http://127.0.0.1:8081": {"weight": 2.5},
        "http://127.0.0.1:8080": {},
        "http://127.0.0.1:8082": 7,
        "http://127.0.0.1:8083": {"weight": -3, "other": "x"},
        "http://127.0.0.1:8084": {"weight": 1e12}
    })"));
    EXPECT_EQ(u.balancing, Upstream::kRoundRobin);
    EXPECT_EQ(u.rate_interval_ms, 500u);
    ASSERT_EQ(u.servers.size(), 4u);  // the number member is not a server
    auto it = u.servers.begin();
    EXPECT_EQ(it->first, "http://127.0.0.1:8080");
    EXPECT_EQ(it->second.weight, 1);
    EXPECT_EQ(it->second.url.address, "127.0.0.1");
    EXPECT_EQ(it->second.url.port, "8080");
    EXPECT_EQ((++it)->second.weight, 2);
    EXPECT_EQ((++it)->second.weight, -3);  // kept as written; the round-robin counts it as 0
    EXPECT_EQ((++it)->second.weight, INT32_MAX);
    EXPECT_TRUE(Upstream(json::object()).servers.empty());
}

TEST(ProxyConfigSection, MembersAndFailures) {
    const ProxyConfig p(json::parse(R"({
        "listen": "http://127.0.0.1:9000",
        "locations": {"/b/*": "@b", "/api/*": "@a"},
        "@a": {"http://127.0.0.1:8080": {}},
        "@b": {"rate": "1r/s"},
        "@text": "ignored",
        "plain": {"http://127.0.0.1:8080": {}}
    })"));
    EXPECT_EQ(p.listen.port, "9000");
    EXPECT_EQ(p.listen.proto, framework::Url::kHttp | framework::Url::kTcp);
    ASSERT_EQ(p.locations.size(), 2u);
    EXPECT_EQ(p.locations.begin()->first, "/api/*");
    EXPECT_EQ(p.locations.begin()->second, "@a");
    ASSERT_EQ(p.upstreams.size(), 2u);
    EXPECT_EQ(p.upstreams.begin()->first, "@a");
    EXPECT_EQ(p.upstreams.at("@b").rate_interval_ms, 1000u);
    EXPECT_TRUE(ProxyConfig(json{{"listen", "https://127.0.0.1:9443"}}).locations.empty());

    const struct {
        const char* section;
        const char* message;  // part of the error text
    } failures[] = {
        {R"({"locations": {}})", "'listen'"},
        {R"({"listen": 80})", "type must be string, but is number"},
        {R"({"listen": "http://127.0.0.1:1", "locations": {"/": 1}})", "type must be string, but is number"},
        {R"({"listen": "http://127.0.0.1:1", "locations": ["@a"]})", "type must be object, but is array"},
        {R"({"listen": "http://127.0.0.1:1", "@a": {"balancing": 1}})", "type must be string, but is number"},
        {R"({"listen": "http://127.0.0.1:1", "@a": {"rate": 10}})", "type must be string, but is number"},
        {R"({"listen": "http://127.0.0.1:1", "@a": {"http://127.0.0.1:2": {"weight": "2"}}})",
         "type must be number, but is string"},
        {R"({"listen": "http://127.0.0.1:1", "@a": {"http://127.0.0.1:2": {"weight": true}}})",
         "type must be number, but is boolean"},
    };
    for (const auto& f : failures) {
        try {
            ProxyConfig p2(json::parse(f.section));
            ADD_FAILURE() << f.section << " loaded";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(f.message), std::string::npos) << f.section << ": " << e.what();
        }
    }
}

TEST(ProxyConfigSection, DocumentKeepsTheGoodProxies) {
    testsupport::TempDir dir;
    Config cfg;
    ASSERT_TRUE(cfg.load(dir.write("c.json", R"({"type": "ZEB", "mav_root": "/m",
        "proxy_b": {"listen": "http://127.0.0.1:9001"},
        "proxy_a": {"locations": {}},
        "PROXY": {"listen": "http://127.0.0.1:9002", "@u": {"http://127.0.0.1:9003": {}}}})")));
    EXPECT_EQ(cfg.get_proxy("proxy_a"), nullptr);  // no "listen": left out
    ASSERT_NE(cfg.get_proxy("proxy_b"), nullptr);
    ASSERT_NE(cfg.get_proxy("PROXY"), nullptr);
    EXPECT_EQ(cfg.get_proxy("PROXY")->upstreams.at("@u").servers.size(), 1u);
    EXPECT_EQ(cfg.get_proxies().begin()->first, "PROXY");
}

}  // namespace
