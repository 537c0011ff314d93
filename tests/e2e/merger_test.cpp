// The topology merger as the real program runs it: a child of the master polling two fake
// topology services, keeping its cache files, restarted by the master after a kill, and
// polled in turn by the router as its topology source.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeTopology;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;
using Paths = std::vector<std::string>;

// A component with a time stamp, so that an unchanged one does not rewrite the cache files.
json component(const std::string& path) {
    json c = FakeTopology::component(path);
    c["lastSwitchTime"] = 5;
    return c;
}

json document(const Paths& paths) {
    std::vector<json> components;
    for (const auto& p : paths) components.push_back(component(p));
    return FakeTopology::envelope(components);
}

// The cache file form of an envelope.
std::string file_text(const json& envelope) { return envelope.dump(4) + "\n"; }

// The body of a 200 answer, or "" for anything else (no answer at all included).
std::string ask(uint16_t port, const std::string& method, const std::string& target,
                const std::string& fields = {}) {
    const std::string raw = testsupport::raw_exchange(
        port, method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + fields + "Content-Length: 0\r\n\r\n");
    const auto end = raw.find("\r\n\r\n");
    if (raw.compare(0, 12, "HTTP/1.1 200") != 0 || end == std::string::npos) return {};
    return raw.substr(end + 4);
}

class MergerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const json doc = {
            {"mav_root", "MAV"},
            {"type", "ZEB"},
            {"pid_file", dir.file("travine.pid")},
            {"log", {{"redirect", log}, {"level", "debug"}}},
            {"topology_merger",
             {{"listen", "http://127.0.0.1:" + std::to_string(merger_port)},
              {"clients", {a.url(), b.url()}},
              {"update_period_in_sec", 1},
              {"topology_cache_current", current},
              {"topology_cache_previous", previous},
              {"filter", json::parse(FakeTopology::kFilter)}}},
            {"router",
             {{"listen", "http://127.0.0.1:" + std::to_string(router_port)},
              {"topology",
               {{"url", "http://127.0.0.1:" + std::to_string(merger_port) + "/leaf-components"},
                {"filter", json::parse(FakeTopology::kFilter)},
                {"update_period_sec", 1}}},
              {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}},
              {"rules", {{"VexGoNode", {{"enabled", true}}}}}}}};
        config = dir.write("travine.json", doc.dump());
    }

    // Both services answer with these contours from their next poll on.
    void both_report(const Paths& paths) {
        a.set_document(document(paths));
        b.set_document(document(paths));
        a.set_failing(false);
        b.set_failing(false);
    }
    json leaf_components() const {
        return json::parse(ask(merger_port, "POST", "/leaf-components"), nullptr, false);
    }
    Paths merged() const {
        Paths paths;
        const json envelope = leaf_components();
        if (envelope.is_object() && envelope.contains("body"))
            for (const auto& c : envelope["body"]["components"]) paths.push_back(c["nodePath"]);
        return paths;
    }
    bool wait_merged(const Paths& paths) const {
        return wait_for([&] { return merged() == paths; }, 30s, 50ms);
    }
    // The router sends the node to its cluster: it knows the node from the merger.
    bool routes(const std::string& node, const std::string& cluster) const {
        return ask(router_port, "GET", "/x", "vex_go_node: " + node + "\r\n")
                   .find("\"cluster\":\"" + cluster + "\"") != std::string::npos;
    }
    std::string logged() const { return read_file(log); }
    void stop(TravineProcess& master) const {
        master.signal(SIGTERM);
        ASSERT_TRUE(master.wait(20s)) << logged();
        EXPECT_EQ(master.exit_code(), 0);
    }

    TempDir dir;
    FakeTopology a;
    FakeTopology b;
    const std::string log = dir.file("travine.log");
    const std::string current = dir.file("current.json");
    const std::string previous = dir.file("previous.json");
    const uint16_t merger_port = testsupport::free_port();
    const uint16_t router_port = testsupport::free_port();
    std::string config;
};

TEST_F(MergerProgram, MergesFeedsTheRouterAndComesBackFromAKillServingItsCache) {
    both_report({"mav.x", "mav.y"});
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_merged({"mav.x", "mav.y"})) << logged();
    EXPECT_TRUE(wait_for([&] { return routes("mav.y", "@mav_y"); }, 30s, 50ms)) << logged();
    const std::string before = read_file(current);
    EXPECT_EQ(before, file_text(leaf_components()));

    // A contour joins once both services report it; the previous file then holds the
    // current file's bytes from before the change.
    both_report({"mav.x", "mav.y", "mav.z"});
    ASSERT_TRUE(wait_merged({"mav.x", "mav.y", "mav.z"})) << logged();
    EXPECT_EQ(read_file(previous), before);
    const json served = leaf_components();
    EXPECT_EQ(read_file(current), file_text(served));
    EXPECT_TRUE(wait_for([&] { return routes("mav.z", "@mav_z"); }, 30s, 50ms)) << logged();

    // Both services down, the merger killed: the master starts it again at once, and it
    // serves what its cache file held.
    a.set_failing(true);
    b.set_failing(true);
    const pid_t killed = testsupport::child_named(master.pid(), "topology");
    ASSERT_GT(killed, 0);
    ASSERT_EQ(::kill(killed, SIGKILL), 0);
    pid_t again = -1;
    ASSERT_TRUE(wait_for([&] {
        again = testsupport::child_named(master.pid(), "topology");
        return again > 0 && again != killed && leaf_components() == served;
    }, 30s, 50ms)) << logged();
    EXPECT_NE(logged().find("* process(" + std::to_string(killed) + "): killed, code(9)"),
              std::string::npos);
    // It keeps serving the cache while its polls fail, and the router keeps routing by it.
    EXPECT_TRUE(wait_for([&] {
        const json status = json::parse(ask(merger_port, "GET", "/status"), nullptr, false);
        return status.is_object() && status["topology"]["failed"].get<uint64_t>() >= 2;
    }, 30s, 50ms)) << logged();
    EXPECT_EQ(leaf_components(), served);
    EXPECT_EQ(read_file(current), file_text(served));
    EXPECT_TRUE(routes("mav.z", "@mav_z"));
    stop(master);
}

TEST_F(MergerProgram, TornCurrentFileFallsBackToThePreviousOneAndNeverReplacesIt) {
    const std::string good = file_text(document({"mav.x"}));
    dir.write("current.json", "{\"body\": {\"compo");
    dir.write("previous.json", good);
    a.set_failing(true);
    b.set_failing(true);
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_merged({"mav.x"})) << logged();
    EXPECT_EQ(leaf_components(), json::parse(good));
    EXPECT_NE(logged().find("ARBITER_CACHE: Unable to load file \"" + current + "\": "),
              std::string::npos)
        << logged();

    // The first change writes the current file and leaves the good previous one alone.
    both_report({"mav.x", "mav.w"});
    ASSERT_TRUE(wait_merged({"mav.x", "mav.w"})) << logged();
    EXPECT_EQ(read_file(previous), good);
    const std::string first = read_file(current);
    EXPECT_EQ(first, file_text(leaf_components()));

    // The next change rotates what the merger wrote, byte for byte.
    both_report({"mav.x", "mav.w", "mav.v"});
    ASSERT_TRUE(wait_merged({"mav.x", "mav.w", "mav.v"})) << logged();
    EXPECT_EQ(read_file(previous), first);
    EXPECT_EQ(read_file(current), file_text(leaf_components()));
    stop(master);
}

}  // namespace
