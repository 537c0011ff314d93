#include "common/ketama_hash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

// Reference values were computed independently (MD5 with a scripting language's standard
// library, following the ring construction step by step), not with this code.

std::size_t points_of(const Ketama& ring, std::int32_t server) {
    return static_cast<std::size_t>(std::count_if(
        ring.continuum.begin(), ring.continuum.end(),
        [server](const Ketama::mcs_type& p) { return p.server == server; }));
}

TEST(Ketama, HashIsLittleEndianMd5Prefix) {
    Ketama ring;
    struct Case {
        std::string text;
        std::uint32_t hash;
    };
    for (const Case& c : std::vector<Case>{
             {"a", 3111502092u}, {"", 3649838548u}, {"abc", 2555380112u}, {"key0", 4060279841u}}) {
        EXPECT_EQ(ring.hashi(c.text.data(), c.text.size()), c.hash) << c.text;
    }
}

// Lengths on both sides of the block (64 bytes) and of the padding's room for the length (56).
TEST(Ketama, HashOfLongerTextsAcrossBlockBoundaries) {
    Ketama ring;
    struct Case {
        std::size_t length;
        std::uint32_t hash;
    };
    for (const Case& c : std::vector<Case>{{55, 3193372931u}, {56, 4052579726u}, {63, 1985314890u},
                                           {64, 784206970u}, {65, 2421033876u}, {119, 2266598343u},
                                           {120, 581954379u}, {1000, 4219602377u}}) {
        std::string text;
        for (std::size_t i = 0; i < c.length; ++i) text.push_back(static_cast<char>((i * 7 + 3) % 251));
        EXPECT_EQ(ring.hashi(text.data(), text.size()), c.hash) << c.length;
    }
}

TEST(Ketama, OneServerGets160Points) {
    Ketama ring;
    ring.add_server("a", 1);
    ASSERT_TRUE(ring.create_continuum());
    ASSERT_EQ(ring.continuum.size(), 160u);
    EXPECT_EQ(ring.continuum.front().point, 3747649u);
    EXPECT_EQ(ring.continuum.back().point, 4293088312u);
    EXPECT_TRUE(std::is_sorted(ring.continuum.begin(), ring.continuum.end(),
                               [](auto& x, auto& y) { return x.point < y.point; }));
    for (const char* key : {"", "a", "anything", "w896"}) EXPECT_EQ(ring.get_server(key), "a");
}

class KetamaTwoServers : public ::testing::Test {
protected:
    void SetUp() override {
        ring.add_server("a", 1);
        ring.add_server("b", 3);
        ASSERT_TRUE(ring.create_continuum());
    }
    Ketama ring;
};

TEST_F(KetamaTwoServers, PointsFollowWeights) {
    EXPECT_EQ(ring.total_weight, 4u);
    EXPECT_EQ(points_of(ring, 0), 80u);
    EXPECT_EQ(points_of(ring, 1), 240u);
    EXPECT_EQ(ring.continuum.size(), 320u);
}

TEST_F(KetamaTwoServers, KnownLookups) {
    struct Case {
        std::string key;
        std::uint32_t point;
        std::string server;
    };
    const std::vector<Case> cases = {
        {"key0", 4070898614u, "b"},   {"key1", 2511106179u, "b"},
        {"key2", 2858464185u, "b"},   {"user-42", 171267966u, "a"},
        {"/api/x", 2109004525u, "b"}, {"", 3657560106u, "b"},
        {"hello", 709678104u, "b"},   {"k4", 242979432u, "b"},
        {"k8", 61840307u, "a"},
        // Hashes to 4293247595, above the last point (4293088312): wraps to the first point.
        {"w896", 3747649u, "a"},
    };
    for (const Case& c : cases) {
        const Ketama::mcs_type* point = ring.get_continuum_point(c.key);
        ASSERT_NE(point, nullptr) << c.key;
        EXPECT_EQ(point->point, c.point) << c.key;
        EXPECT_EQ(ring.get_server(c.key), c.server) << c.key;
    }
}

TEST_F(KetamaTwoServers, LookupIsFirstPointAtOrAboveHash) {
    // Exhaustive cross-check of the binary search against a linear scan.
    for (int i = 0; i < 2000; ++i) {
        const std::string key = "key-" + std::to_string(i);
        const std::uint32_t h = ring.hashi(key.data(), key.size());
        auto it = std::find_if(ring.continuum.begin(), ring.continuum.end(),
                               [h](auto& p) { return p.point >= h; });
        const Ketama::mcs_type* want = it == ring.continuum.end() ? &ring.continuum.front() : &*it;
        ASSERT_EQ(ring.get_continuum_point(key), want) << key;
    }
}

TEST(Ketama, WeightsAndCounts) {
    struct Case {
        std::vector<std::uint64_t> weights;
        std::vector<std::size_t> points;  // per server
    };
    const std::vector<Case> cases = {
        {{5, 10, 0}, {160, 320, 0}},  // a weight of 0 gives no points
        {std::vector<std::uint64_t>(61, 1), std::vector<std::size_t>(61, 156)},  // float rounding
        {{7, 7}, {160, 160}},
    };
    for (const Case& c : cases) {
        Ketama ring;
        for (std::size_t i = 0; i < c.weights.size(); ++i)
            ring.add_server("node-" + std::to_string(i + 1), c.weights[i]);
        ASSERT_TRUE(ring.create_continuum());
        for (std::size_t i = 0; i < c.points.size(); ++i)
            EXPECT_EQ(points_of(ring, static_cast<std::int32_t>(i)), c.points[i])
                << c.weights.size() << " servers, server " << i;
    }
}

TEST(Ketama, EmptyRing) {
    Ketama ring;
    ring.add_server("", 5);  // dropped
    EXPECT_TRUE(ring.servers.empty());
    EXPECT_EQ(ring.total_weight, 0u);
    EXPECT_FALSE(ring.create_continuum());
    EXPECT_EQ(ring.get_continuum_point("x"), nullptr);
    EXPECT_TRUE(ring.get_server("x").empty());
}

TEST(Ketama, ZeroTotalWeightMakesNoPoints) {
    Ketama ring;
    ring.add_server("a", 0);
    ring.add_server("b", 0);
    EXPECT_TRUE(ring.create_continuum());
    EXPECT_TRUE(ring.continuum.empty());
    EXPECT_EQ(ring.get_continuum_point("x"), nullptr);
    EXPECT_TRUE(ring.get_server("x").empty());
}

TEST(Ketama, EqualPointsKeepInsertionOrder) {
    // The same name twice makes every point value twice; the stable sort keeps the first
    // server's copy in front and the look-up lands on it.
    Ketama ring;
    ring.add_server("x", 1);
    ring.add_server("x", 1);
    ASSERT_TRUE(ring.create_continuum());
    ASSERT_EQ(ring.continuum.size(), 320u);
    for (std::size_t i = 0; i < ring.continuum.size(); i += 2) {
        EXPECT_EQ(ring.continuum[i].point, ring.continuum[i + 1].point);
        EXPECT_EQ(ring.continuum[i].server, 0);
        EXPECT_EQ(ring.continuum[i + 1].server, 1);
    }
    for (int i = 0; i < 200; ++i) {
        const Ketama::mcs_type* p = ring.get_continuum_point("k" + std::to_string(i));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->server, 0);
    }
}

TEST(Ketama, SameInputSameRingAcrossThreads) {
    Ketama ring;
    for (int i = 0; i < 10; ++i) ring.add_server("srv" + std::to_string(i), 1 + i % 3);
    ASSERT_TRUE(ring.create_continuum());
    std::vector<std::string_view> expected;
    for (int i = 0; i < 500; ++i) expected.push_back(ring.get_server("key" + std::to_string(i)));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                if (ring.get_server("key" + std::to_string(i)) != expected[i]) ++mismatches[t];
        });
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
