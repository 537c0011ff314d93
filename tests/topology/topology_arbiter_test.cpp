#include "topology/topology_arbiter_basic.hpp"

#include <gtest/gtest.h>

#include <set>

#include "log_capture.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using topology_test::capture_log;
using topology_test::count;

Contour make(std::string path, uint64_t timestamp = 0, uint16_t weight = 1) {
    Contour c;
    c.path = std::move(path);
    c.parent = "p.c";
    c.weight = weight;
    c.timestamp = timestamp;
    c.mode = Contour::NORMAL;
    c.type = Contour::ACTIVE;
    return c;
}

// Stands in for the cache files: hands over an initial list and records every store.
class FakeCache : public TopologyCacheManager {
public:
    explicit FakeCache(std::list<Contour> initial = {}, bool active = true)
        : initial(std::move(initial)), active(active) {}
    std::list<Contour>& get() override { return initial; }
    void update(const json& envelope) override { stored.push_back(envelope); }
    bool is_active() const override { return active; }

    std::list<Contour> initial;
    bool active;
    std::vector<json> stored;
};

const std::string A = "http://a/";
const std::string B = "http://b/";

// An arbiter with an injected steady clock, max_age 10 s.
struct Fixture {
    explicit Fixture(std::list<Contour> initial = {}, bool with_cache = true) {
        auto fake = std::make_unique<FakeCache>(std::move(initial));
        cache = fake.get();
        arbiter = std::make_unique<TopologyArbiterBasic>(
            "p", 10, with_cache ? std::move(fake) : nullptr, [this] { return now; });
        if (!with_cache) cache = nullptr;
        arbiter->add_client(A);
        arbiter->add_client(B);
    }
    void update(const std::string& url, std::list<Contour> list) {
        arbiter->apply_update(url, std::move(list));
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        auto snapshot = arbiter->get();  // holds the list while it is read
        for (const auto& c : snapshot->get_contours()) out.push_back(c.path);
        return out;
    }
    size_t stores() const { return cache ? cache->stored.size() : 0; }

    std::chrono::steady_clock::time_point now{1000s};
    FakeCache* cache = nullptr;
    std::unique_ptr<TopologyArbiterBasic> arbiter;
};

using Paths = std::vector<std::string>;

TEST(TopologyArbiter, ColdStartAddsFirstUpdateThenNeedsEveryFreshClient) {
    Fixture f;
    f.update(A, {make("p.x"), make("p.y")});
    EXPECT_EQ(f.paths(), (Paths{"p.x", "p.y"}));  // no check against B on the first update
    EXPECT_EQ(f.stores(), 1u);

    f.now += 1s;
    f.update(B, {make("p.x"), make("p.y")});
    f.now += 1s;
    std::string log = capture_log([&] { f.update(A, {make("p.x"), make("p.y"), make("p.z")}); });
    EXPECT_EQ(count(log, "ARBITER: ADD rejected - client \"http://b/\" don't have contour \"p.z\" "),
              1u)
        << log;
    f.update(A, {make("p.x"), make("p.y"), make("p.z")});
    EXPECT_EQ(f.paths(), (Paths{"p.x", "p.y"}));
    f.update(B, {make("p.x"), make("p.y"), make("p.z")});
    EXPECT_EQ(f.paths(), (Paths{"p.x", "p.y", "p.z"}));
}

TEST(TopologyArbiter, StartFromCache) {
    Fixture f({make("p.a", 1), make("p.b", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.a", "p.b"}));
    EXPECT_EQ(f.stores(), 0u);  // loading stores nothing
    EXPECT_EQ(f.arbiter->to_json()["success"], true);

    std::string log = capture_log([&] { f.update(A, {make("p.b", 1), make("p.c", 1)}); });
    EXPECT_NE(log.find("ARBITER: ADD client \"http://b/\" has too old update - ignored during "
                       "adding contour \"p.c\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ARBITER: DELETE contour \"p.a\" "), std::string::npos) << log;
    f.update(A, {make("p.b", 1), make("p.c", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.b", "p.c"}));
    EXPECT_EQ(f.stores(), 1u);
    EXPECT_EQ(f.cache->stored.back(), f.arbiter->to_json());
}

TEST(TopologyArbiter, TwoFreshClients) {
    Fixture f;
    f.update(A, {make("p.x", 1)});
    f.update(B, {make("p.x", 1)});
    f.update(A, {make("p.x", 1), make("p.n", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.x"}));  // B lacks p.n
    // A stops reporting p.x: B's last list still holds it.
    f.update(A, {make("p.n", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.x"}));
    f.update(B, {make("p.x", 1), make("p.n", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.x", "p.n"}));
    // Now neither reports p.x.
    f.update(B, {make("p.n", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.n"}));
}

TEST(TopologyArbiter, StaleClientNeitherBlocksNorKeeps) {
    Fixture f;
    f.update(B, {make("p.old", 1)});
    f.now += 11s;  // B is now older than max_age
    f.update(A, {make("p.new", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.new"}));

    // Exactly max_age seconds old is still fresh.
    f.now += 11s;  // A is stale, so B adds p.b alone
    f.update(B, {make("p.new", 1), make("p.b", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.new", "p.b"}));
    f.now += 10s;
    f.update(A, {make("p.new", 1), make("p.a", 1)});
    EXPECT_EQ(f.paths(), (Paths{"p.new", "p.b"}));  // p.a rejected by B, p.b kept by B
}

TEST(TopologyArbiter, TimeStampRules) {
    struct Case {
        uint64_t kept, incoming;
        bool replaced;
    };
    const Case cases[] = {{5, 5, false}, {5, 4, false}, {5, 6, true}, {0, 0, true},
                          {0, 3, true},  {7, 0, false}};
    for (const auto& c : cases) {
        Fixture f;
        f.update(A, {make("p.a", c.kept, 1)});
        const size_t before = f.stores();
        f.update(A, {make("p.a", c.incoming, 2)});
        auto snapshot = f.arbiter->get();
        ASSERT_EQ(snapshot->get_contours().size(), 1u);
        const Contour& got = snapshot->get_contours().front();
        EXPECT_EQ(got.weight, c.replaced ? 2 : 1) << c.kept << " vs " << c.incoming;
        EXPECT_EQ(got.timestamp, c.replaced ? c.incoming : c.kept);
        // Every replacement rewrites the cache, even when nothing differs but the weight.
        EXPECT_EQ(f.stores() - before, c.replaced ? 1u : 0u) << c.kept << " vs " << c.incoming;
    }
    // A contour without a time stamp is rewritten by every update that carries it.
    Fixture f;
    for (int i = 0; i < 3; ++i) f.update(A, {make("p.a", 0, 1)});
    EXPECT_EQ(f.stores(), 3u);
}

TEST(TopologyArbiter, AdditionTakesNewestFreshVersion) {
    Fixture f;
    f.update(A, {make("p.x", 1)});
    f.update(B, {make("p.x", 1), make("p.n", 9, 3)});
    f.update(A, {make("p.x", 1), make("p.n", 4, 5)});
    auto snapshot = f.arbiter->get();
    const Contour* n = snapshot->get_by_path("p.n");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->timestamp, 9u);
    EXPECT_EQ(n->weight, 3);
}

TEST(TopologyArbiter, DeletionsInPathOrder) {
    Fixture f;
    f.update(A, {make("p.q"), make("p.b"), make("p.z"), make("p.a"), make("p.keep")});
    std::string log = capture_log([&] { f.update(A, {make("p.keep")}); });
    const auto a = log.find("DELETE contour \"p.a\" ");
    const auto b = log.find("DELETE contour \"p.b\" ");
    const auto q = log.find("DELETE contour \"p.q\" ");
    const auto z = log.find("DELETE contour \"p.z\" ");
    ASSERT_NE(z, std::string::npos) << log;
    EXPECT_LT(a, b);
    EXPECT_LT(b, q);
    EXPECT_LT(q, z);
}

TEST(TopologyArbiter, DuplicateInUpdate) {
    Fixture f;
    std::string log = capture_log([&] { f.update(A, {make("p.d", 5, 1), make("p.d", 6, 2)}); });
    EXPECT_EQ(count(log, "ARBITER: There is a duplicate of contour \"p.d\" in update from "
                         "\"http://a/\""),
              1u)
        << log;
    f.update(A, {make("p.d", 5, 1), make("p.d", 6, 2)});
    auto snapshot = f.arbiter->get();
    ASSERT_EQ(snapshot->get_contours().size(), 1u);
    EXPECT_EQ(snapshot->get_contours().front().weight, 2);
}

TEST(TopologyArbiter, DuplicateInInitialListLeavesOneElement) {
    std::string log = capture_log([] {
        TopologyArbiterBasic arbiter(
            "p", 10, std::make_unique<FakeCache>(std::list<Contour>{make("p.d", 1, 1), make("p.e"),
                                                                    make("p.d", 1, 2)}));
    });
    EXPECT_EQ(count(log, "There is a duplicate of contour \"p.d\""), 1u) << log;

    Fixture f({make("p.d", 1, 1), make("p.e"), make("p.d", 1, 2)});
    EXPECT_EQ(f.paths(), (Paths{"p.d", "p.e"}));
    auto components = f.arbiter->to_json()["body"]["components"];
    ASSERT_EQ(components.size(), 2u);
    EXPECT_EQ(components[0]["loadPercent"], 2);  // the later element won
    // The one element is updated and deleted like any other.
    f.update(A, {make("p.d", 3, 9)});
    EXPECT_EQ(f.paths(), (Paths{"p.d"}));
    EXPECT_EQ(f.arbiter->to_json()["body"]["components"][0]["loadPercent"], 9);
}

TEST(TopologyArbiter, UnregisteredClientChangesNothing) {
    Fixture f;
    f.update(A, {make("p.a")});
    const size_t before = f.stores();
    std::list<Contour> list{make("p.b")};
    std::string log = capture_log([&] { f.arbiter->apply_update("http://c/", std::move(list)); });
    EXPECT_NE(log.find("ARBITER: Got topology update from not registered client. Url = "
                       "\"http://c/\"!"),
              std::string::npos)
        << log;
    f.arbiter->apply_update("http://c/", std::move(list));
    EXPECT_EQ(list.size(), 1u);  // stays with the caller
    EXPECT_EQ(f.paths(), (Paths{"p.a"}));
    EXPECT_EQ(f.stores(), before);
}

TEST(TopologyArbiter, SwapsTheListAndIgnoresReRegistration) {
    Fixture f;
    std::list<Contour> first{make("p.a"), make("p.b")};
    f.arbiter->apply_update(A, std::move(first));
    EXPECT_TRUE(first.empty());  // the record's old list was empty
    f.arbiter->add_client(A);    // keeps A's record and its last list
    std::list<Contour> second{make("p.a")};
    f.arbiter->apply_update(A, std::move(second));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second.back().path, "p.b");
}

TEST(TopologyArbiter, WithoutCacheOrInactiveCacheNothingIsStored) {
    Fixture none({}, false);
    none.update(A, {make("p.a")});
    EXPECT_EQ(none.paths(), (Paths{"p.a"}));

    auto fake = std::make_unique<FakeCache>(std::list<Contour>{}, false);
    FakeCache* cache = fake.get();
    TopologyArbiterBasic arbiter("p", 10, std::move(fake));
    arbiter.add_client(A);
    arbiter.apply_update(A, {make("p.a")});
    EXPECT_TRUE(cache->stored.empty());
}

TEST(TopologyArbiter, SnapshotUsesRoot) {
    Fixture f;
    f.update(A, {make("p.a", 0, 10), make("p.b", 0, 10)});
    auto snapshot = f.arbiter->get();
    ASSERT_NE(snapshot->get_by_path("a"), nullptr);
    auto node = snapshot->get_by_hash("c", "key");
    ASSERT_TRUE(node.has_value());
    EXPECT_TRUE(*node == "p.a" || *node == "p.b");
}

}  // namespace
