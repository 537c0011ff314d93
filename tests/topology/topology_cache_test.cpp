#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "common/json_filter.hpp"
#include "log_capture.hpp"
#include "support/test_support.hpp"
#include "topology/topology-parser.hpp"
#include "topology/topology_arbiter_basic.hpp"
#include "topology/topology_cache_manager_basic.hpp"

namespace {

using nlohmann::json;
using testsupport::TempDir;
using testsupport::file_exists;
using testsupport::read_file;

const char* kEnvelopeFilter = R"([{"components":[{"filter":{".className":"FIELD","set":{
    ".path":".nodePath",".parent":".parentCode",".slave":"reserveNode/nodePath",
    ".weight":".loadPercent",".mode":".currentMode",".type":".type",
    ".timestamp":".lastSwitchTime"}}}]}])";

struct Compiled {
    Compiled() { root.add_next(json::parse(kEnvelopeFilter), ""); }
    json_tools::filter::Node root;
};

Contour make(std::string path, uint64_t timestamp = 0, uint16_t weight = 1,
             std::string parent = "p.c", std::string slave = {}) {
    Contour c;
    c.path = std::move(path);
    c.parent = std::move(parent);
    c.slave = std::move(slave);
    c.weight = weight;
    c.timestamp = timestamp;
    c.mode = Contour::REPAIR;
    c.type = Contour::PASSIVE;
    return c;
}

// The envelope of `list`, built the way the merger builds it.
json envelope(const std::list<Contour>& list) {
    TopologyArbiterBasic arbiter("p", 10, nullptr);
    arbiter.add_client("http://a/");
    if (!list.empty()) arbiter.apply_update("http://a/", std::list<Contour>(list));
    return arbiter.to_json();
}

TEST(MergedEnvelope, Forms) {
    EXPECT_EQ(envelope({}).dump(), R"({"body":{"components":[]},"success":false})");
    EXPECT_EQ(envelope({make("p.a", 0, 7, "p.c")}).dump(),
              R"({"body":{"components":[{"className":"FIELD","currentMode":"REPAIR",)"
              R"("lastSwitchTime":null,"loadPercent":7,"nodePath":"p.a","parentCode":"p.c",)"
              R"("reserveNode":{"nodePath":""},"type":"PASSIVE"}]},"success":true})");
    EXPECT_EQ(TopologyCacheManagerBasic::to_file_text(envelope({make("p.a", 42, 7, "p.c", "p.b")})),
              "{\n"
              "    \"body\": {\n"
              "        \"components\": [\n"
              "            {\n"
              "                \"className\": \"FIELD\",\n"
              "                \"currentMode\": \"REPAIR\",\n"
              "                \"lastSwitchTime\": 42,\n"
              "                \"loadPercent\": 7,\n"
              "                \"nodePath\": \"p.a\",\n"
              "                \"parentCode\": \"p.c\",\n"
              "                \"reserveNode\": {\n"
              "                    \"nodePath\": \"p.b\"\n"
              "                },\n"
              "                \"type\": \"PASSIVE\"\n"
              "            }\n"
              "        ]\n"
              "    },\n"
              "    \"success\": true\n"
              "}\n");
    EXPECT_EQ(TopologyCacheManagerBasic::to_file_text(envelope({})),
              "{\n    \"body\": {\n        \"components\": []\n    },\n    \"success\": false\n}\n");
}

TEST(MergedEnvelope, RoundTripThroughFileAndFilter) {
    TempDir dir;
    Compiled filter;
    const std::list<Contour> list{make("p.a", 0, 7, "p.c", "p.b"), make("p.b", 1700000000, 0),
                                  make("p.x", 5, 65535, "", ""), make("p.ü", 1, 1)};
    const json env = envelope(list);
    {
        TopologyCacheManagerBasic writer(filter.root, "p", dir.file("cur"), dir.file("prev"), "");
        ASSERT_TRUE(writer.is_active());
        writer.update(env);
    }
    EXPECT_EQ(read_file(dir.file("cur")), TopologyCacheManagerBasic::to_file_text(env));
    TopologyCacheManagerBasic reader(filter.root, "p", dir.file("cur"), dir.file("prev"), "");
    ASSERT_EQ(reader.get().size(), list.size());
    auto it = reader.get().begin();
    for (const Contour& c : list) EXPECT_EQ((it++)->to_json(), c.to_json());

    // The compact wire form reads back the same way.
    TopologyParser parser(filter.root, "p");
    ASSERT_TRUE(parser.parse(env.dump())) << parser.error;
    EXPECT_EQ(parser.contours.size(), list.size());
}

TEST(TopologyCache, ReadOrder) {
    TempDir dir;
    Compiled filter;
    const std::string good_a = TopologyCacheManagerBasic::to_file_text(envelope({make("p.a")}));
    const std::string good_b = TopologyCacheManagerBasic::to_file_text(envelope({make("p.b")}));
    const std::string good_i = TopologyCacheManagerBasic::to_file_text(envelope({make("p.i")}));
    const std::string refused = TopologyCacheManagerBasic::to_file_text(envelope({}));
    struct Case {
        const char* name;
        std::optional<std::string> current, previous, initial;
        const char* loaded;  // nullptr: nothing
    };
    const Case cases[] = {
        {"all", good_a, good_b, good_i, "p.a"},
        {"current refused", refused, good_b, good_i, "p.b"},
        {"current empty", std::string(), good_b, good_i, "p.b"},
        {"current garbage", std::string("{\"succ"), good_b, good_i, "p.b"},
        {"current missing", std::nullopt, good_b, good_i, "p.b"},
        {"only initial", refused, std::nullopt, good_i, "p.i"},
        {"none reads", refused, refused, refused, nullptr},
        {"nothing", std::nullopt, std::nullopt, std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        TempDir d;
        if (c.current) d.write("cur", *c.current);
        if (c.previous) d.write("prev", *c.previous);
        if (c.initial) d.write("init", *c.initial);
        TopologyCacheManagerBasic cache(filter.root, "p", d.file("cur"), d.file("prev"),
                                        d.file("init"));
        if (!c.loaded) {
            EXPECT_TRUE(cache.get().empty()) << c.name;
            continue;
        }
        ASSERT_EQ(cache.get().size(), 1u) << c.name;
        EXPECT_EQ(cache.get().front().path, c.loaded) << c.name;
    }
}

TEST(TopologyCache, ActiveOnlyWithTwoDistinctFiles) {
    TempDir dir;
    Compiled filter;
    const std::string text = TopologyCacheManagerBasic::to_file_text(envelope({make("p.a")}));
    dir.write("same", text);
    TopologyCacheManagerBasic same(filter.root, "p", dir.file("same"), dir.file("same"), "");
    EXPECT_FALSE(same.is_active());
    EXPECT_EQ(same.get().size(), 1u);  // still read at start
    same.update(envelope({make("p.z")}));
    EXPECT_EQ(read_file(dir.file("same")), text);

    TopologyCacheManagerBasic one(filter.root, "p", dir.file("x"), "", "");
    EXPECT_FALSE(one.is_active());
    one.update(envelope({make("p.z")}));
    EXPECT_FALSE(file_exists(dir.file("x")));
}

TEST(TopologyCache, RotationAndRewrite) {
    TempDir dir;
    Compiled filter;
    TopologyCacheManagerBasic cache(filter.root, "p", dir.file("cur"), dir.file("prev"), "");
    const json first = envelope({make("p.a")});
    const json second = envelope({make("p.b")});

    // No current file yet: it is created, the previous file is not touched.
    cache.update(first);
    EXPECT_EQ(read_file(dir.file("cur")), TopologyCacheManagerBasic::to_file_text(first));
    EXPECT_FALSE(file_exists(dir.file("prev")));

    cache.update(second);
    EXPECT_EQ(read_file(dir.file("prev")), TopologyCacheManagerBasic::to_file_text(first));
    EXPECT_EQ(read_file(dir.file("cur")), TopologyCacheManagerBasic::to_file_text(second));
    // No temporary file is left behind.
    EXPECT_FALSE(file_exists(dir.file("cur.tmp")));
    EXPECT_FALSE(file_exists(dir.file("prev.tmp")));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("cur").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0644u & ~0022u);
}

TEST(TopologyCache, EmptyCurrentDoesNotWipePrevious) {
    TempDir dir;
    Compiled filter;
    const std::string old = TopologyCacheManagerBasic::to_file_text(envelope({make("p.old")}));
    dir.write("cur", "");
    dir.write("prev", old);
    TopologyCacheManagerBasic cache(filter.root, "p", dir.file("cur"), dir.file("prev"), "");
    ASSERT_EQ(cache.get().size(), 1u);
    const json next = envelope({make("p.new")});
    cache.update(next);
    EXPECT_EQ(read_file(dir.file("prev")), old);
    EXPECT_EQ(read_file(dir.file("cur")), TopologyCacheManagerBasic::to_file_text(next));
}

// A file that is there but does not read is named with the reason, and the start falls
// back to the next file; a file that is not there is the normal first start and is quiet.
TEST(TopologyCache, FilesThatDoNotReadAreLoggedWithPathAndReason) {
    Compiled filter;
    const std::string good = TopologyCacheManagerBasic::to_file_text(envelope({make("p.b")}));
    struct Case {
        const char* name;
        std::optional<std::string> current;  // nullopt: no file; "/": a directory
        const char* reason;                  // nullptr: no line at all
    };
    const Case cases[] = {
        {"torn", std::string("{\"body\": {\"compo"), "[json.exception.parse_error."},
        {"refused", TopologyCacheManagerBasic::to_file_text(envelope({})), "unsuccessful status"},
        {"nothing found", std::string(R"({"success": true, "body": {"components": []}})"),
         "nothing found"},
        {"empty", std::string(), "empty file"},
        {"directory", std::string("/"), ""},
        {"missing", std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        TempDir d;
        const std::string current = d.file("cur");
        if (c.current == "/")
            ASSERT_EQ(::mkdir(current.c_str(), 0755), 0);
        else if (c.current)
            d.write("cur", *c.current);
        d.write("prev", good);
        const std::string log = topology_test::capture_log([&] {
            TopologyCacheManagerBasic cache(filter.root, "p", current, d.file("prev"), "");
            // The fallback is taken: the previous file's contour.
            if (cache.get().size() != 1 || cache.get().front().path != "p.b") std::_Exit(3);
        });
        const std::string line = "ARBITER_CACHE: Unable to load file \"" + current + "\": ";
        if (!c.reason) {
            EXPECT_EQ(log.find("Unable to load"), std::string::npos) << c.name << ": " << log;
            continue;
        }
        const auto at = log.find(line);
        ASSERT_NE(at, std::string::npos) << c.name << ": " << log;
        const auto from = at + line.size();
        const std::string reason = log.substr(from, log.find('\n', from) - from);
        EXPECT_FALSE(reason.empty()) << c.name;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
        EXPECT_EQ(topology_test::count(log, "Unable to load"), 1u) << c.name << ": " << log;
    }
}

// Only a current file that loaded (or that the manager wrote since) is rotated: one that
// did not load must never take the place of a good previous file.
TEST(TopologyCache, CurrentThatDidNotLoadIsNotRotated) {
    Compiled filter;
    const std::string good_cur = TopologyCacheManagerBasic::to_file_text(envelope({make("p.cur")}));
    const std::string good_prev = TopologyCacheManagerBasic::to_file_text(envelope({make("p.prev")}));
    const json first = envelope({make("p.first")});
    const json second = envelope({make("p.second")});
    struct Case {
        const char* name;
        std::string current;
        std::string previous_after_first;
    };
    const Case cases[] = {
        {"torn", "{\"body\": {\"compo", good_prev},
        {"refused", TopologyCacheManagerBasic::to_file_text(envelope({})), good_prev},
        {"nothing found", R"({"success": true, "body": {"components": []}})", good_prev},
        {"empty", "", good_prev},
        {"loaded", good_cur, good_cur},
    };
    for (const auto& c : cases) {
        TempDir d;
        d.write("cur", c.current);
        d.write("prev", good_prev);
        TopologyCacheManagerBasic cache(filter.root, "p", d.file("cur"), d.file("prev"), "");
        cache.update(first);
        EXPECT_EQ(read_file(d.file("prev")), c.previous_after_first) << c.name;
        EXPECT_EQ(read_file(d.file("cur")), TopologyCacheManagerBasic::to_file_text(first)) << c.name;
        // What the manager wrote itself is rotated like any good file.
        cache.update(second);
        EXPECT_EQ(read_file(d.file("prev")), TopologyCacheManagerBasic::to_file_text(first)) << c.name;
        EXPECT_EQ(read_file(d.file("cur")), TopologyCacheManagerBasic::to_file_text(second)) << c.name;
    }
}

TEST(TopologyCache, FailedWritesKeepTheOldFiles) {
    TempDir dir;
    Compiled filter;
    const std::string cur = TopologyCacheManagerBasic::to_file_text(envelope({make("p.cur")}));
    const std::string prev = TopologyCacheManagerBasic::to_file_text(envelope({make("p.prev")}));
    const json next = envelope({make("p.next")});
    struct Case {
        const char* blocked;  // the temporary path made unusable
        std::string cur_after, prev_after;
        const char* message;
    };
    const Case cases[] = {
        // The new current file cannot be written: both old files stay whole.
        {"cur.tmp", cur, cur, "ARBITER_CACHE: Unable to open file \""},
        // The rotation fails: the previous file stays, the current one is still rewritten.
        {"prev.tmp", TopologyCacheManagerBasic::to_file_text(next), prev,
         "ARBITER_CACHE: Unable to open file \""},
    };
    for (const auto& c : cases) {
        TempDir d;
        d.write("cur", cur);
        d.write("prev", prev);
        // A directory where the temporary file should go makes its creation fail, as a
        // full or read-only disk would.
        ASSERT_EQ(::mkdir(d.file(c.blocked).c_str(), 0755), 0);
        std::string log = topology_test::capture_log([&] {
            TopologyCacheManagerBasic cache(filter.root, "p", d.file("cur"), d.file("prev"), "");
            cache.update(next);
        });
        EXPECT_NE(log.find(c.message), std::string::npos) << c.blocked << ": " << log;
        EXPECT_EQ(read_file(d.file("cur")), c.cur_after) << c.blocked;
        EXPECT_EQ(read_file(d.file("prev")), c.prev_after) << c.blocked;
    }
}

TEST(TopologyCache, UnwritableDirectoryLogsAndKeepsMemory) {
    Compiled filter;
    std::string log = topology_test::capture_log([&] {
        TopologyCacheManagerBasic cache(filter.root, "p", "/nonexistent-dir/cur",
                                        "/nonexistent-dir/prev", "");
        cache.update(envelope({make("p.a")}));
    });
    EXPECT_NE(log.find("ARBITER_CACHE: Unable to open file \"/nonexistent-dir/cur\"!"),
              std::string::npos)
        << log;
}

}  // namespace
