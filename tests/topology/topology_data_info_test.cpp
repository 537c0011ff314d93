#include "topology/topology-data-info.hpp"

#include <gtest/gtest.h>

#include <set>

#include "log_capture.hpp"

namespace {

using nlohmann::json;

Contour make(std::string path, std::string parent = {}, uint16_t weight = 0,
             uint64_t timestamp = 0) {
    Contour c;
    c.path = std::move(path);
    c.parent = std::move(parent);
    c.weight = weight;
    c.timestamp = timestamp;
    c.mode = Contour::NORMAL;
    c.type = Contour::ACTIVE;
    return c;
}

struct PathCase {
    const char* query;
    const char* found;  // nullptr: not found
};

TEST(TopologyDataInfo, LookupByPathAndAlias) {
    std::list<Contour> list{make("p.a", "p.c", 10), make("p.b", "p.c", 0),
                            make("other.x"), make("p.a", "p.d", 5), make("p."), make("xp.q"),
                            make("", "p.c", 10)};
    TopologyDataInfo snapshot(list, "p");
    const PathCase cases[] = {
        {"p.a", "p.a"}, {"P.A", "p.a"}, {"a", "p.a"},   {"A", "p.a"},  {"b", "p.b"},
        {"p.b", "p.b"}, {"", nullptr},  {"c", nullptr}, {"x", nullptr}, {"other.x", "other.x"},
        {"p.", "p."},   {"xp.q", "xp.q"}, {"q", nullptr}, {"p.zz", nullptr},
    };
    for (const auto& c : cases) {
        const Contour* found = snapshot.get_by_path(c.query);
        if (!c.found) {
            EXPECT_EQ(found, nullptr) << c.query;
            continue;
        }
        ASSERT_NE(found, nullptr) << c.query;
        EXPECT_EQ(found->path, c.found) << c.query;
    }
    // The first of two equal paths wins, and the pointer refers into the snapshot's own list.
    const Contour* first = snapshot.get_by_path("p.a");
    EXPECT_EQ(first, &snapshot.get_contours().front());
    EXPECT_EQ(first->parent, "p.c");
    EXPECT_EQ(snapshot.get_contours().size(), list.size());
}

TEST(TopologyDataInfo, AliasShadowsLaterFullPath) {
    // The alias of root.a is "a"; a later contour whose full path is "a" is shadowed.
    std::list<Contour> list{make("root.a"), make("a")};
    TopologyDataInfo snapshot(std::move(list), std::string("root"));
    ASSERT_NE(snapshot.get_by_path("a"), nullptr);
    EXPECT_EQ(snapshot.get_by_path("a")->path, "root.a");
}

TEST(TopologyDataInfo, LookupByHash) {
    std::list<Contour> list{make("p.a", "p.c", 10), make("p.b", "p.c", 0),
                            make("p.z", "p.empty", 0), make("p.solo")};
    TopologyDataInfo snapshot(list, "p");
    struct Case {
        const char* cluster;
        const char* key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"p.c", "any", "p.a"},   {"P.C", "key-1", "p.a"}, {"c", "x", "p.a"},
        {"C", "x", "p.a"},       {"p.c", "", std::nullopt}, {"", "x", std::nullopt},
        {"x", "k", std::nullopt}, {"p.empty", "k", std::nullopt}, {"empty", "k", std::nullopt},
        {"p.solo", "k", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = snapshot.get_by_hash(c.cluster, c.key);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.cluster << "/" << c.key;
        if (got) {
            EXPECT_EQ(*got, *c.expected) << c.cluster << "/" << c.key;
        }
    }
}

TEST(TopologyDataInfo, HashSpreadsOverClusterAndIsStable) {
    std::list<Contour> list;
    for (int i = 0; i < 4; ++i) list.push_back(make("r.n" + std::to_string(i), "r.c", 10));
    TopologyDataInfo one(list, "r");
    TopologyDataInfo two(list, "r");
    std::set<std::string> seen;
    for (int k = 0; k < 200; ++k) {
        const std::string key = "key" + std::to_string(k);
        auto a = one.get_by_hash("r.c", key);
        auto b = two.get_by_hash("c", key);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(*a, *b);
        seen.emplace(*a);
    }
    EXPECT_EQ(seen.size(), 4u);
    // The key is used as given: case changes the hash, and may change the node.
    size_t differ = 0;
    for (int k = 0; k < 200; ++k) {
        std::string key = "Key" + std::to_string(k);
        std::string lower = "key" + std::to_string(k);
        differ += *one.get_by_hash("r.c", key) != *one.get_by_hash("r.c", lower);
    }
    EXPECT_GT(differ, 0u);
}

TEST(TopologyDataInfo, Json) {
    std::list<Contour> list{make("p.a", "p.c", 10, 7), make("p.b", "p.c", 0)};
    TopologyDataInfo snapshot(list, "p");
    json expected = {
        {"path", "p"},
        {"components", {list.front().to_json(), list.back().to_json()}},
        {"clusters", {{"c", {{"p.a", 10}}}, {"p.c", {{"p.a", 10}}}}},
    };
    EXPECT_EQ(snapshot.get_json(), expected);
    EXPECT_TRUE(snapshot.get_json()["clusters"]["c"]["p.a"].is_number_unsigned());

    TopologyDataInfo empty(std::list<Contour>{}, "p");
    EXPECT_EQ(empty.get_json().dump(), R"({"path":"p"})");
    EXPECT_EQ(empty.get_by_path("p"), nullptr);
}

TEST(TopologyDataInfo, LogLines) {
    using topology_test::capture_log;
    using topology_test::count;
    std::string log = capture_log([] {
        std::list<Contour> list{make("p.a", "p.c", 10), make("p.b", "p.c", 0)};
        TopologyDataInfo snapshot(list, "p");
        snapshot.get_by_hash("X", "k");
        snapshot.get_by_hash("c", "");
    });
    EXPECT_EQ(count(log, "cluster X not found"), 1u) << log;
    EXPECT_EQ(count(log, "not found"), 1u) << log;

    log = capture_log([] { TopologyDataInfo empty(std::list<Contour>{}, "p"); });
    EXPECT_EQ(count(log, "no any clusters"), 1u) << log;

    // A root that matches no path: one alias line per contour and per cluster.
    log = capture_log([] {
        std::list<Contour> list{make("q.a", "q.c", 1), make("q.b", "q.c", 1)};
        TopologyDataInfo snapshot(list, "p");
    });
    EXPECT_EQ(count(log, "cannot get node path alias, check for 'mav_root' in config"), 3u)
        << log;
}

}  // namespace
