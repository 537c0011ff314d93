// The example configurations under examples/ as an operator runs them. Each is loaded as it
// is written; only what ties it to one machine moves (its loopback ports, its work directory,
// the addresses of the services it talks to, which become the test's fakes). Every key and
// every other value stays, so a key the program does not take, or a value it refuses, fails
// here. The roles must then come up and do what the README shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_registry.hpp"
#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeReply;
using testsupport::FakeTopology;
using testsupport::HttpReply;
using testsupport::RecordedRequest;
using testsupport::TempDir;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;

const std::string kExamples = std::string(TRAVINE_SOURCE_DIR) + "/examples/";

// One text of the example and what it becomes on this machine.
struct Move {
    std::string from;
    std::string to;
    size_t used = 0;
};

// Applies the moves, in order, inside every string value of `doc`; keys and every other
// value stay as they are.
void relocate(json& doc, std::vector<Move>& moves) {
    if (doc.is_structured()) {
        for (auto& value : doc) relocate(value, moves);
        return;
    }
    if (!doc.is_string()) return;
    std::string text = doc.get<std::string>();
    for (auto& move : moves) {
        for (auto at = text.find(move.from); at != std::string::npos;
             at = text.find(move.from, at + move.to.size())) {
            text.replace(at, move.from.size(), move.to);
            ++move.used;
        }
    }
    doc = text;
}

// The example `name`, moved onto this machine and written into `dir`: the path of the copy,
// or "" when a move found nothing to move. An example whose addresses changed must fail here
// rather than run on its own fixed ports.
std::string place_example(const std::string& name, std::vector<Move> moves, const TempDir& dir) {
    json doc = json::parse(testsupport::read_file(kExamples + name));
    relocate(doc, moves);
    bool complete = true;
    for (const auto& move : moves) {
        if (move.used > 0) continue;
        ADD_FAILURE() << name << " no longer has " << move.from;
        complete = false;
    }
    return complete ? dir.write(name, doc.dump(4)) : std::string();
}

std::string loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

// The value at `pointer`, or null when `doc` has none there (or is no JSON at all).
json find(const json& doc, const std::string& pointer) {
    const json::json_pointer at(pointer);
    return !doc.is_discarded() && doc.contains(at) ? doc.at(at) : json();
}

// The paths of an envelope's components.
std::set<std::string> paths_of(const json& envelope) {
    std::set<std::string> paths;
    for (const auto& c : find(envelope, "/body/components")) {
        const json path = find(c, "/nodePath");
        paths.insert(path.is_string() ? path.get<std::string>() : path.dump());
    }
    return paths;
}

json component_of(const json& envelope, const std::string& path) {
    for (const auto& c : find(envelope, "/body/components"))
        if (find(c, "/nodePath") == path) return c;
    return nullptr;
}

json component(const std::string& path, const std::string& mode, uint64_t switched) {
    json c = FakeTopology::component(path, mode, "mav.zone1", 50);
    c["lastSwitchTime"] = switched;
    return c;
}

// examples/merger.json: the merger starts from its initial file, polls two topology
// services, merges what they report, keeps the cache files, and the router polls it.
TEST(Examples, MergerMergesTwoServicesAndFeedsTheRouter) {
    TempDir dir;
    FakeTopology first, second;
    first.set_failing(true);
    second.set_failing(true);
    const uint16_t merger = testsupport::free_port();
    const uint16_t router = testsupport::free_port();
    const std::string config = place_example(
        "merger.json",
        {{"127.0.0.1:9054", loopback(merger)},
         {"127.0.0.1:9055", loopback(router)},
         {"http://127.0.0.1:9061/leaf-components", first.url()},
         {"http://127.0.0.1:9062/leaf-components", second.url()},
         {"/tmp/travine-merger", dir.path()}},
        dir);
    ASSERT_FALSE(config.empty());
    // The initial file is an envelope like the demo's canned topology.
    std::filesystem::copy_file(kExamples + "mock_responces/si-leaf-components.json",
                               dir.file("topology-initial.json"));
    const json initial = parse(testsupport::read_file(dir.file("topology-initial.json")));

    TravineProcess master({"-c", config});
    auto leaf = [&] { return parse(testsupport::http_exchange(merger, "POST", "/leaf-components").body); };
    json merged;
    ASSERT_TRUE(wait_for([&] { return paths_of(merged = leaf()) == paths_of(initial); }, 30s))
        << merged.dump() << master.err();

    // Both services know the zone1 nodes and a new zone3 node; the second has node1 in repair,
    // switched later. zone2 is in neither, so it leaves the merged topology.
    first.set_document(FakeTopology::envelope({component("mav.zone1.node1", "NORMAL", 1800000000),
                                               component("mav.zone1.node2", "NORMAL", 1800000000),
                                               component("mav.zone3.node1", "NORMAL", 1800000000)}));
    second.set_document(FakeTopology::envelope({component("mav.zone1.node1", "REPAIR", 1800000100),
                                                component("mav.zone1.node2", "NORMAL", 1800000000),
                                                component("mav.zone3.node1", "NORMAL", 1800000000)}));
    first.set_failing(false);
    second.set_failing(false);
    const std::set<std::string> expected{"mav.zone1.node1", "mav.zone1.node2", "mav.zone3.node1"};
    ASSERT_TRUE(wait_for([&] {
        merged = leaf();
        return paths_of(merged) == expected &&
               find(component_of(merged, "mav.zone1.node1"), "/currentMode") == "REPAIR";
    }, 30s)) << merged.dump() << master.err();
    EXPECT_EQ(merged["success"], true);
    for (const auto* service : {&first, &second}) {
        ASSERT_GE(service->polls(), 1u);
        EXPECT_EQ(parse(service->get_polls().back().body), json({{"nodePath", "mav"}}));
    }

    // GET /topology carries the same envelope; the status counts the services' polls.
    const json topology = parse(testsupport::http_exchange(merger, "GET", "/topology").body);
    ASSERT_TRUE(topology.is_object());
    EXPECT_EQ(topology["topology"], merged) << topology.dump();
    EXPECT_EQ(topology["version"], TRAVINE_VERSION);
    const json status = parse(testsupport::http_exchange(merger, "GET", "/status").body);
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status["gw_type"], "ZEB");
    EXPECT_EQ(status["mav_root"], "mav");
    EXPECT_EQ(status["work_dir"], dir.path());
    EXPECT_EQ(status["pid_file"], dir.file("travine.pid"));
    EXPECT_TRUE(status["uptime"].is_number_integer());
    EXPECT_TRUE(status["topology_mergering"]["total"].is_number_unsigned()) << status.dump();
    EXPECT_TRUE(status["topology_mergering"]["active"].is_number_unsigned()) << status.dump();
    EXPECT_TRUE(status["topology"]["failed"].is_number_unsigned()) << status.dump();
    // The first service to answer may already have made the merged topology; the other
    // one's poll counts when it comes.
    json counted;
    EXPECT_TRUE(wait_for([&] {
        counted = find(parse(testsupport::http_exchange(merger, "GET", "/status").body), "/topology/success");
        return counted.is_number_unsigned() && counted.get<uint64_t>() >= 2;
    }, 15s)) << counted.dump() << master.err();

    // The cache files: the current one holds the merged topology. A newer version of node2
    // changes it again: its bytes move into the previous file.
    EXPECT_EQ(parse(testsupport::read_file(dir.file("topology-current.json"))), merged);
    json newer = component("mav.zone1.node2", "NORMAL", 1800000200);
    newer["loadPercent"] = 70;
    first.set_document(FakeTopology::envelope({component("mav.zone1.node1", "NORMAL", 1800000000), newer,
                                               component("mav.zone3.node1", "NORMAL", 1800000000)}));
    json changed;
    ASSERT_TRUE(wait_for([&] {
        changed = leaf();
        return find(component_of(changed, "mav.zone1.node2"), "/loadPercent") == 70;
    }, 30s)) << changed.dump() << master.err();
    EXPECT_EQ(parse(testsupport::read_file(dir.file("topology-current.json"))), changed);
    EXPECT_EQ(parse(testsupport::read_file(dir.file("topology-previous.json"))), merged);

    // The router routes by the merged topology.
    HttpReply routed;
    EXPECT_TRUE(wait_for([&] {
        routed = testsupport::http_exchange(router, "GET", "/x", {}, "vex-go-node: mav.zone3.node1\r\n");
        return routed.status == 200;
    }, 30s)) << routed.status << " " << routed.body << master.err();
    EXPECT_EQ(parse(routed.body)["cluster"], "@mav_zone3_node1") << routed.body;
    routed = testsupport::http_exchange(router, "GET", "/x", {}, "vex-go-node: mav.zone1.node1\r\n");
    EXPECT_EQ(routed.status, 403) << routed.body;

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait(20s));
    EXPECT_EQ(master.exit_code(), 0) << master.err();
}

const json kUnit = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "front"}}}}},
                    {"last_modify_time", 1700000000000}};

// A registry that knows one instance and one changed unit.
FakeReply pell(const RecordedRequest& r) {
    if (testsupport::is_subscription(r)) return {200, testsupport::subscription_answer("instance-1", 7, 1h)};
    if (r.method == "GET") return {200, json({{"total", 1}, {"data", json::array({kUnit})}}).dump()};
    return {200, "{}"};
}

// examples/registry.json with examples/confgen.sh: the role subscribes at the registry with
// its callback address, applies the changed unit through the example confgen and reports it,
// takes a notice on the callback path, and keeps its statistics in the stats file.
TEST(Examples, RegistrySubscribesAndRunsTheExampleConfgen) {
    const std::string confgen = kExamples + "confgen.sh";
    struct stat info {};
    ASSERT_EQ(::stat(confgen.c_str(), &info), 0);
    ASSERT_NE(info.st_mode & S_IXUSR, 0u) << confgen << " is not executable";

    TempDir dir;
    testsupport::FakeRegistry registry(pell);
    const uint16_t callback = testsupport::free_port();
    const std::string config = place_example(
        "registry.json",
        {{"http://127.0.0.1:9070", registry.url()},
         {"127.0.0.1:9071", loopback(callback)},
         {"/tmp/travine-registry/confgen.sh", confgen},
         {"/tmp/travine-registry", dir.path()}},
        dir);
    ASSERT_FALSE(config.empty());

    TravineProcess master({"-c", config});
    registry.start();  // only now a thread of its own: the master was forked without one

    // confgen's standard output is the gateway's.
    const std::string update = "confgen: --update --reload\nconfgen: unit " + kUnit.dump() + "\n";
    ASSERT_TRUE(wait_for([&] { return master.out().find(update) != std::string::npos; }, 20s))
        << master.out() << master.err();

    const auto subscribe = registry.requests("PATCH", "/api/v1/topologies?graph_processing_mode=COMPOSITE&include=");
    ASSERT_FALSE(subscribe.empty());
    const json instance =
        find(parse(subscribe[0].body), "/0/subsystems/0/deployment_units/0/deployment_unit_instances/0");
    EXPECT_EQ(find(instance, "/subscription/callback_url"),
              "http://" + loopback(callback) + "/pell/notice")
        << subscribe[0].body;
    EXPECT_EQ(find(instance, "/subscription/subscription_gateway_filter"),
              json({{"gateway_type", "ZEB"}, {"node_path", "mav"}}));

    // The outcome goes back to the registry.
    const std::string report_target = "/api/v1/topologies?graph_processing_mode=COMPOSITE";
    ASSERT_TRUE(wait_for([&] {
        for (const auto& r : registry.requests("PATCH", report_target))
            if (r.decoded == report_target) return true;
        return false;
    })) << master.err();
    json properties;
    for (const auto& r : registry.requests("PATCH", report_target))
        if (r.decoded == report_target)
            properties = find(parse(r.body),
                              "/0/subsystems/0/deployment_units/0/deployment_unit_instances/0/dynamic_properties");
    EXPECT_EQ(properties, json::parse(R"([
        {"key": "conf.apply.status.front.web", "value": "SUCCESS"},
        {"key": "conf.apply.revision.front.web", "value": "1700000000000"},
        {"key": "conf.apply.error.message.front.web", "value": ""}])"));

    // A deletion notice on the example's callback path runs confgen at once.
    const std::string deletion =
        R"({"type": "DeploymentUnitChangePayload", "action": "DELETED", "subsystem": "front", "deploymentUnit": "web"})";
    const HttpReply reply = testsupport::http_exchange(callback, "POST", "/pell/notice", deletion, {}, 15s);
    EXPECT_EQ(reply.status, 200) << master.err();
    EXPECT_NE(master.out().find("confgen: --delete front.web --reload\nconfgen: unit " + json::parse(deletion).dump()),
              std::string::npos)
        << master.out();

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait(20s));
    EXPECT_EQ(master.exit_code(), 0) << master.err();
    ASSERT_TRUE(registry.wait_requests("DELETE", "/api/v1/subscriptions/7", 1));
    EXPECT_EQ(parse(testsupport::read_file(dir.file("stats.json"))),
              json({{"sync_time", 1700000000000}, {"uuid", "instance-1"}}));
}

}  // namespace
