// Route decisions of the proxy: smooth weighted round-robin, the per-client rate limit (with an
// injected clock), the location masks and the counters of the status document.
#include "roles/proxy_upstream.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.hpp"

namespace {

using nlohmann::json;
using proxy::Upstream;
using testsupport::LogCapture;

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }

config::Upstream settings(const std::vector<int>& weights, const char* rate = "0r/s") {
    json u{{"rate", rate}};
    for (size_t i = 0; i < weights.size(); ++i)
        u["http://127.0.0.1:" + std::to_string(9001 + i)] = json{{"weight", weights[i]}};
    return config::Upstream(u);
}

// Letter of the peer: a for the first URL in key order, b for the second, ...
std::string sequence(const Upstream& u, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        const proxy::Peer* p = u.next();
        if (!p) return out + "-";
        out += static_cast<char>('a' + (p->url.port.back() - '1'));
    }
    return out;
}

TEST(ProxyRoundRobin, Sequences) {
    const struct {
        std::vector<int> weights;
        int n;
        const char* expected;
    } cases[] = {
        {{5, 1, 1}, 14, "aabacaaaabacaa"},
        {{2, 1}, 6, "abaaba"},
        {{1, 1, 1}, 6, "abcabc"},
        {{0, 0}, 3, "aaa"},
        {{0, 1}, 3, "bbb"},
        {{-5, 1}, 3, "bbb"},             // a negative weight counts as 0
        {{INT32_MAX, 1}, 3, "aaa"},       // no overflow of the 64-bit steps
        {{INT32_MAX, INT32_MAX, INT32_MAX}, 6, "abcabc"},
        {{}, 1, "-"},
    };
    for (const auto& c : cases) {
        const Upstream u(settings(c.weights));
        EXPECT_EQ(sequence(u, c.n), c.expected) << ::testing::PrintToString(c.weights);
    }
}

TEST(ProxyRoundRobin, UrlsInByteOrderAndCopied) {
    const Upstream u(config::Upstream(json::parse(R"({
        "http://127.0.0.1:9002": {"weight": 2}, "http://127.0.0.1:9001": {"weight": 1}})")));
    ASSERT_EQ(u.get_peers().size(), 2u);
    EXPECT_EQ(u.get_peers().begin()->first, "http://127.0.0.1:9001");
    EXPECT_EQ(u.get_peers().begin()->second.url.address, "127.0.0.1");
    EXPECT_EQ(sequence(u, 3), "bab");
}

TEST(ProxyRateLimit, SequencesWithInjectedClock) {
    LogCapture log;
    const auto a = net::ip::make_address("10.0.0.1");
    const auto b = net::ip::make_address("10.0.0.2");
    const struct {
        const char* rate;
        std::vector<std::pair<int64_t, const net::ip::address*>> requests;  // time, client
        std::vector<unsigned> expected;
    } cases[] = {
        {"1r/s", {{0, &a}, {400, &a}, {1000, &a}}, {200, 429, 200}},
        {"1r/s", {{0, &a}, {400, &a}, {800, &a}, {1200, &a}, {1600, &a}, {2000, &a}, {2400, &a}},
         {200, 429, 429, 200, 429, 429, 200}},  // refusals do not push the window back
        {"1r/s", {{0, &a}, {10, &b}, {20, &a}, {30, &b}, {1000, &a}, {1009, &b}, {1010, &b}},
         {200, 200, 429, 429, 200, 429, 200}},  // addresses are limited independently
        // A fresh client is accepted even when the clock reads less than the interval (a
        // machine that booted a moment ago), and a clock far in the past does not wrap.
        {"1r/m", {{5, &a}, {59999, &a}, {60005, &a}}, {200, 429, 200}},
        {"1r/s", {{-5000, &a}, {-4500, &a}, {-4000, &a}}, {200, 429, 200}},
    };
    for (const auto& c : cases) {
        const Upstream u(settings({1}, c.rate), &fake_clock);
        std::vector<unsigned> got;
        for (const auto& [t, client] : c.requests) {
            fake_now = t;
            const auto [status, peer] = u.get_route(*client, "w(1)");
            EXPECT_EQ(peer != nullptr, status == http::status::ok);
            got.push_back(static_cast<unsigned>(status));
        }
        EXPECT_EQ(got, c.expected) << c.rate;
    }
    EXPECT_TRUE(log.has_line("w(1): too many requests from 10.0.0.1"));
    EXPECT_TRUE(log.has_line("w(1): too many requests from 10.0.0.2"));
}

TEST(ProxyRateLimit, SameAddressInTwoUpstreamsAndEmptyUpstreams) {
    LogCapture log;
    fake_now = 100;
    const auto a = net::ip::make_address("10.0.0.1");
    const Upstream one(settings({1}, "1r/s"), &fake_clock), two(settings({1}, "1r/s"), &fake_clock);
    EXPECT_EQ(one.get_route(a, "w").first, http::status::ok);
    EXPECT_EQ(two.get_route(a, "w").first, http::status::ok);
    EXPECT_EQ(one.get_route(a, "w").first, http::status::too_many_requests);

    // No servers: 503 without a limit, 404 with one; a refused or unroutable request keeps
    // the next one of a fresh client accepted.
    const Upstream open(settings({}), &fake_clock), limited(settings({}, "1r/s"), &fake_clock);
    EXPECT_EQ(open.get_route(a, "w"), proxy::Route(http::status::service_unavailable, nullptr));
    EXPECT_EQ(limited.get_route(a, "w2"), proxy::Route(http::status::not_found, nullptr));
    EXPECT_EQ(limited.get_route(a, "w2").first, http::status::not_found);
    EXPECT_TRUE(log.has_line("w2: unable to route"));

    // IPv6: served without a limit, refused with the standard cast error with one.
    const auto v6 = net::ip::make_address("::1");
    const Upstream open1(settings({1}), &fake_clock);
    EXPECT_EQ(open1.get_route(v6, "w").first, http::status::service_unavailable);
    EXPECT_NE(open1.get_route(v6, "w").second, nullptr);
    try {
        one.get_route(v6, "w");
        ADD_FAILURE() << "IPv6 accepted by a rate-limited upstream";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "bad address cast");
    }
    fake_now = 5000;
    EXPECT_EQ(one.get_route(a, "w").first, http::status::ok);  // the lock was released
}

TEST(ProxyRateLimit, OneAcceptedPerIntervalUnderThreads) {
    fake_now = 1;
    const Upstream u(settings({1, 1}, "1r/s"), &fake_clock);
    const auto a = net::ip::make_address("10.0.0.9");
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (u.get_route(a, "w").first == http::status::ok) ++accepted;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(accepted.load(), 1);
}

TEST(ProxyMasks, KeyOrderMissingUpstreamsAndPrefixes) {
    LogCapture log;
    proxy::Upstreams ups;
    ups.emplace(std::piecewise_construct, std::forward_as_tuple("@a"), std::forward_as_tuple(settings({1})));
    ups.emplace(std::piecewise_construct, std::forward_as_tuple("@b"), std::forward_as_tuple(settings({1, 1})));
    const std::map<std::string, std::string> locations{
        {"/api/*", "@a"}, {"/b/*", "@b"}, {"/a*", "@missing"}, {"/x?z", "@b"}};
    const auto client = net::ip::make_address("127.0.0.1");
    const struct {
        const char* target;
        const char* upstream;  // null: 404
    } cases[] = {
        {"/api/v1?q=1", "@a"},
        {"/", "@a"},  // a prefix of a mask matches it, and "/api/*" comes first
        {"/b/c", "@b"},
        {"/axe", nullptr},  // "/a*" names no upstream and is passed over
        {"/xyz", "@b"},
        {"/c", nullptr},
    };
    for (const auto& c : cases) {
        const auto [status, peer] = proxy::route_by_mask(locations, ups, c.target, client, "w(3)");
        if (!c.upstream) {
            EXPECT_EQ(status, http::status::not_found) << c.target;
            EXPECT_EQ(peer, nullptr) << c.target;
            continue;
        }
        ASSERT_NE(peer, nullptr) << c.target;
        bool found = false;
        for (const auto& [k, p] : ups.at(c.upstream).get_peers()) found |= &p == peer;
        EXPECT_TRUE(found) << c.target;
    }
    EXPECT_TRUE(log.has_line("w(3): using @a by mask /api/*"));
    EXPECT_TRUE(log.has_line("w(3): unable to route"));
}

TEST(ProxyStatus, CountersOnlyForCountedPeers) {
    proxy::Upstreams ups;
    ups.emplace(std::piecewise_construct, std::forward_as_tuple("@u"), std::forward_as_tuple(settings({1, 1})));
    ups.emplace(std::piecewise_construct, std::forward_as_tuple("@v"), std::forward_as_tuple(settings({1})));
    json doc = json::object();
    proxy::add_counters(doc, ups);
    EXPECT_EQ(doc, json::object());

    proxy::Peer& p = *ups.at("@u").next();  // the first in URL order
    ASSERT_EQ(&p, &ups.at("@u").get_peers().begin()->second);
    p.stats.count_upstream(http::status::ok);
    p.stats.count_upstream(http::status::ok);
    p.stats.count_upstream(http::status::service_unavailable);
    p.stats.count_proxy(http::status::gateway_timeout);
    proxy::add_counters(doc, ups);
    EXPECT_EQ(doc, json::parse(R"({"@u": {"http://127.0.0.1:9001":
        {"200": 2, "503": 1, "proxy": {"504": 1}}}})"));
}

}  // namespace
