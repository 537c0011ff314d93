#include "roles/topology_merger.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "common/json_filter.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"
#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"
#include "topology/topology_arbiter_basic.hpp"
#include "topology/topology_cache_manager_basic.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::TempDir;
using topology_merging::TopologyMerger;

using testsupport::FakeTopology;

// One component in the services' (and the envelope's) form, with a time stamp.
json component(const std::string& path, uint64_t timestamp = 0, unsigned weight = 1) {
    json c = FakeTopology::component(path, "NORMAL", "/mav.c", weight);
    c["lastSwitchTime"] = timestamp == 0 ? json(nullptr) : json(timestamp);
    return c;
}

struct Answer {
    int status = 0;
    std::string head;
    std::string body;
};

Answer exchange(uint16_t port, const std::string& method, const std::string& target,
                const std::string& fields = {}) {
    const std::string raw = testsupport::raw_exchange(
        port, method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + fields + "Content-Length: 0\r\n\r\n");
    Answer a;
    const auto end = raw.find("\r\n\r\n");
    if (raw.size() < 12 || end == std::string::npos) return a;
    a.status = std::stoi(raw.substr(9, 3));
    a.head = raw.substr(0, end);
    a.body = raw.substr(end + 4);
    return a;
}

json leaf_components(uint16_t port) {
    const auto a = exchange(port, "POST", "/leaf-components");
    return a.status == 200 ? json::parse(a.body) : json();
}

std::vector<std::string> merged_paths(uint16_t port) {
    std::vector<std::string> paths;
    const json envelope = leaf_components(port);
    if (envelope.is_object())
        for (const auto& c : envelope["body"]["components"]) paths.push_back(c["nodePath"]);
    return paths;
}

// A configuration with a merger section listening on a free port.
struct MergerConfig {
    explicit MergerConfig(json section, json log = nullptr) : port(testsupport::free_port()) {
        section["listen"] = "http://127.0.0.1:" + std::to_string(port);
        if (!section.contains("filter")) section["filter"] = json::parse(FakeTopology::kFilter);
        json doc = {{"type", "ZEB"},
                    {"mav_root", "/MAV"},
                    {"work_dir", "/var/w"},
                    {"pid_file", "/tmp/merger-test.pid"},
                    {"topology_merger", std::move(section)}};
        if (!log.is_null()) doc["log"] = std::move(log);
        if (!config.load(dir.write("travine.json", doc.dump())))
            throw std::runtime_error("configuration did not load");
    }

    TempDir dir;
    uint16_t port;
    Config config;
};

// The role's serving run in this process, on a thread of its own, and stopped the way
// SIGTERM stops it: its hook runs on the event loop.
class RunningMerger {
public:
    explicit RunningMerger(const Config& config, uint16_t port) : merger(config), port(port) {
        thread = std::thread([this] {
            try {
                merger.serve(2);
            } catch (const std::exception& e) {
                std::lock_guard guard(mutex);
                error = e.what();
            }
            done = true;
        });
        testsupport::wait_for([&] { return done || testsupport::port_open(port); });
    }
    ~RunningMerger() { stop(); }

    void stop() {
        if (!thread.joinable()) return;
        boost::asio::post(merger.get_io(), [this] { merger.on_stop(); });
        thread.join();
    }

    json status() {
        const auto a = exchange(port, "GET", "/status");
        return a.status == 200 ? json::parse(a.body) : json();
    }

    TopologyMerger merger;
    uint16_t port;
    std::thread thread;
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::string error;
};

TEST(TopologyMergerRole, RequestDispatch) {
    MergerConfig setup(json::object());
    RunningMerger run(setup.config, setup.port);
    ASSERT_TRUE(testsupport::port_open(setup.port)) << run.error;

    const std::string kEmpty = R"({"body":{"components":[]},"success":false})";
    struct Case {
        const char* method;
        const char* target;
        int status;
        const char* body;  // nullptr: a status object
    } cases[] = {
        {"GET", "/status", 200, nullptr},
        {"GET", "/STATUS", 200, nullptr},
        {"GET", "/", 200, nullptr},
        {"GET", "/status?x=1", 400, ""},
        {"GET", "/topology", 200, nullptr},
        {"GET", "/ToPoLoGy", 200, nullptr},
        {"GET", "/leaf-components", 400, ""},
        {"GET", "//", 400, ""},
        {"POST", "/leaf-components", 200, kEmpty.c_str()},
        {"POST", "/Leaf-Components", 200, kEmpty.c_str()},
        {"POST", "/topology", 400, ""},
        {"POST", "/status", 400, ""},
        {"PUT", "/status", 405, ""},
        {"DELETE", "/leaf-components", 405, ""},
    };
    for (const auto& c : cases) {
        const auto a = exchange(setup.port, c.method, c.target);
        const std::string what = std::string(c.method) + " " + c.target;
        EXPECT_EQ(a.status, c.status) << what;
        EXPECT_NE(a.head.find("Cache-Control: no-store"), std::string::npos) << what;
        EXPECT_NE(a.head.find("Connection: close"), std::string::npos) << what;
        if (c.body) {
            EXPECT_EQ(a.body, c.body) << what;
        } else {
            EXPECT_NE(a.head.find("Content-Type: application/json"), std::string::npos) << what;
            const json j = json::parse(a.body);
            EXPECT_EQ(j["version"], TRAVINE_VERSION) << what;
            EXPECT_TRUE(j["uptime"].is_number_integer()) << what;
        }
    }

    const json status = run.status();
    EXPECT_EQ(status["gw_type"], "ZEB");
    EXPECT_EQ(status["work_dir"], "/var/w");
    EXPECT_EQ(status["pid_file"], "/tmp/merger-test.pid");
    EXPECT_EQ(status["mav_root"], "/mav");
    // No clients: only the asking connection is live, and it is not counted.
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return run.status()["topology_mergering"]["active"] == 0u; }, 5s, 50ms));
    EXPECT_EQ(status["topology"], json({{"failed", 0}, {"success", 0}}));
    // Every exchange above is a finished connection by now, or soon.
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return run.status()["topology_mergering"]["total"].get<uint64_t>() >= std::size(cases); }));

    const json topology = json::parse(exchange(setup.port, "GET", "/topology").body);
    EXPECT_EQ(topology["topology"].dump(), kEmpty);

    run.stop();
    EXPECT_EQ(run.error, "");
    EXPECT_FALSE(testsupport::port_open(setup.port));
}

TEST(TopologyMergerRole, MergesItsServicesKeepsTheCacheAndServesItAfterARestart) {
    FakeTopology a;
    FakeTopology b;
    a.set_document(FakeTopology::envelope({component("/mav.x", 5), component("/mav.y")}));
    b.set_document(FakeTopology::envelope({component("/mav.x", 5), component("/mav.y")}));
    TempDir files;
    const json section = {{"clients", {a.url(), b.url()}},
                          {"update_period_in_sec", 1},
                          {"topology_cache_current", files.file("current.json")},
                          {"topology_cache_previous", files.file("previous.json")}};
    MergerConfig setup(section);
    {
        RunningMerger run(setup.config, setup.port);
        ASSERT_TRUE(testsupport::port_open(setup.port)) << run.error;
        using Paths = std::vector<std::string>;
        ASSERT_TRUE(testsupport::wait_for(
            [&] { return merged_paths(setup.port) == Paths{"/mav.x", "/mav.y"}; }, 10s, 50ms));

        // A newer version from one service replaces the merged contour; a contour only that
        // service reports waits until the other reports it too.
        const json newer =
            FakeTopology::envelope({component("/mav.x", 6, 9), component("/mav.y"), component("/mav.z")});
        a.set_document(newer);
        ASSERT_TRUE(testsupport::wait_for(
            [&] { return leaf_components(setup.port)["body"]["components"][0]["loadPercent"] == 9; },
            10s, 50ms));
        EXPECT_EQ(merged_paths(setup.port), (Paths{"/mav.x", "/mav.y"}));
        b.set_document(newer);
        ASSERT_TRUE(testsupport::wait_for(
            [&] { return merged_paths(setup.port) == Paths{"/mav.x", "/mav.y", "/mav.z"}; }, 10s, 50ms));

        // The current cache file holds what is served, in the file form.
        EXPECT_EQ(testsupport::read_file(files.file("current.json")),
                  TopologyCacheManagerBasic::to_file_text(leaf_components(setup.port)));
        EXPECT_TRUE(testsupport::file_exists(files.file("previous.json")));

        // The polls are the topology request.
        const auto first = a.get_polls().at(0);
        EXPECT_EQ(first.method, "POST");
        EXPECT_EQ(first.target, "/leaf-components");
        EXPECT_EQ(first.body, R"({"nodePath":"/mav"})");

        // A poll is counted after its answer is merged, so the last one may still be uncounted.
        EXPECT_TRUE(testsupport::wait_for(
            [&] { return run.status()["topology"]["success"].get<uint64_t>() >= 4; }));
        EXPECT_EQ(run.status()["topology"]["failed"], 0u);
        EXPECT_EQ(json::parse(exchange(setup.port, "GET", "/topology").body)["topology"],
                  leaf_components(setup.port));
    }

    // Both services fail now: the restarted role serves what its cache file held.
    a.set_answer(503, "");
    b.set_answer(503, "");
    const json cached = json::parse(testsupport::read_file(files.file("current.json")));
    RunningMerger again(setup.config, setup.port);
    ASSERT_TRUE(testsupport::port_open(setup.port)) << again.error;
    EXPECT_EQ(leaf_components(setup.port), cached);
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return again.status()["topology"]["failed"].get<uint64_t>() >= 2; }, 10s, 50ms));
    EXPECT_EQ(leaf_components(setup.port), cached);
}

TEST(TopologyMergerRole, StatusCountsTheClientsRequestObjects) {
    FakeTopology a;
    FakeTopology b;
    a.set_document(FakeTopology::envelope({component("/mav.x")}));
    b.set_answer(404, "");
    // A period of 0: each client polls exactly once.
    MergerConfig setup(json{{"clients", {a.url(), b.url()}}, {"update_period_in_sec", 0}});
    RunningMerger run(setup.config, setup.port);
    ASSERT_TRUE(testsupport::port_open(setup.port)) << run.error;
    json status;
    ASSERT_TRUE(testsupport::wait_for(
        [&] {
            status = run.status();
            return status["topology"] == json({{"failed", 1}, {"success", 1}});
        },
        10s, 50ms))
        << status.dump();
    // The two clients' request objects live as long as the clients.
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return run.status()["topology_mergering"]["active"] == 2u; }, 5s, 50ms));
    EXPECT_EQ(a.polls(), 1u);
    EXPECT_EQ(b.polls(), 1u);
}

TEST(TopologyMergerRole, LogLinesNameClientsInUrlOrderAndConnectionsByRequestId) {
    FakeTopology low;
    FakeTopology high;
    std::string first = low.url();
    std::string second = high.url();
    if (second < first) std::swap(first, second);
    TempDir logs;
    const std::string log_file = logs.file("merger.log");
    // Listed in descending order: the client of the URL that sorts first is #0.
    MergerConfig setup({{"clients", {second, first}}, {"update_period_in_sec", 0}},
                       {{"level", "debug3"}, {"redirect", log_file}});
    {
        RunningMerger run(setup.config, setup.port);
        ASSERT_TRUE(testsupport::port_open(setup.port)) << run.error;
        ASSERT_TRUE(testsupport::wait_for([&] { return low.polls() == 1 && high.polls() == 1; }));
        exchange(setup.port, "POST", "/leaf-components", "VEX-REST-ID: trace-42\r\n");
        exchange(setup.port, "GET", "/status");
    }
    framework::Syslog::redirect(log_file);  // reopening flushes what was written
    const std::string log = testsupport::read_file(log_file);
    framework::Syslog::redirect("");
    framework::Syslog::set_log_level("warning");

    const auto port_of = [](const std::string& url) {
        return url.substr(url.rfind(':') + 1, url.find('/', 8) - url.rfind(':') - 1);
    };
    EXPECT_NE(log.find("topo_client_#0: POST 127.0.0.1:" + port_of(first) + "/leaf-components"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("topo_client_#1: POST 127.0.0.1:" + port_of(second) + "/leaf-components"),
              std::string::npos)
        << log;
    // The pretty envelope stays on its one line: its line feeds are written escaped.
    EXPECT_NE(log.find("trace-42: ON_REQUEST it is POST - get_topology:{\\n    \"body\""),
              std::string::npos)
        << log;
    for (const char* line : {"MAV path: /mav", "Create CacheManager... Done",
                             "Create TopologyArbiter... Done", "Create TopologyClientsPool... Done",
                             "Start topology update", "Start topology listener", "Run ASIO"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_NE(log.find(": merger("), std::string::npos) << log;  // the status request's name
}

TEST(TopologyMergerRole, ServeFailsWithoutSectionOrUsableListenAddress) {
    {
        TempDir dir;
        Config config;
        ASSERT_TRUE(config.load(dir.write("c.json", R"({"type": "ZEB", "mav_root": "/m"})")));
        TopologyMerger merger(config);
        EXPECT_THROW(merger.serve(1), std::runtime_error);
        EXPECT_EQ(merger.pool, nullptr);
        EXPECT_EQ(merger.arbiter, nullptr);
    }
    {
        MergerConfig setup(json::object());
        json doc = json::parse(testsupport::read_file(setup.dir.file("travine.json")));
        doc["topology_merger"]["listen"] = "http://127.0.0.1:0";
        ASSERT_TRUE(setup.config.load(setup.dir.write("travine.json", doc.dump())));
        TopologyMerger merger(setup.config);
        try {
            merger.serve(1);
            ADD_FAILURE() << "served";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "listen: invalid port value");
        }
    }
}

// The real child: forked by start(), stopped by SIGTERM, reaped here.
TEST(TopologyMergerRole, ForkedChildStopsOnSigtermAndFailsWithoutSection) {
    FakeTopology service;
    service.set_document(FakeTopology::envelope({component("/mav.x")}));
    MergerConfig setup(json{{"clients", {service.url()}}, {"update_period_in_sec", 1}});
    {
        TopologyMerger merger(setup.config);
        ASSERT_TRUE(merger.start());
        ASSERT_TRUE(testsupport::wait_for([&] { return testsupport::port_open(setup.port); }));
        ASSERT_TRUE(testsupport::wait_for([&] { return service.polls() >= 2; }));
        EXPECT_EQ(merged_paths(setup.port), std::vector<std::string>{"/mav.x"});
        ASSERT_TRUE(merger.kill(SIGTERM));
        ASSERT_TRUE(testsupport::wait_for([&] { return merger.wait(WNOHANG); }));
        EXPECT_TRUE(WIFEXITED(merger.status));
        EXPECT_EQ(framework::Process::result_type(merger.status).get(), 0);
    }
    {
        TempDir dir;
        Config config;
        ASSERT_TRUE(config.load(dir.write("c.json", R"({"type": "ZEB", "mav_root": "/m"})")));
        TopologyMerger merger(config);
        ASSERT_TRUE(merger.start());
        ASSERT_TRUE(testsupport::wait_for([&] { return merger.wait(WNOHANG); }));
        EXPECT_EQ(framework::Process::result_type(merger.status).get(), 99);
    }
}

TEST(TopologyMergerRole, PeriodsSaturateInsteadOfWrapping) {
    struct Case {
        uint32_t period;
        uint16_t client;
        uint16_t max_age;
    } cases[] = {
        {0, 0, 0},          {1, 1, 3},
        {5, 5, 15},         {21845, 21845, 65535},
        {21846, 21846, 65535},  // three periods no longer wrap to 2 seconds
        {65535, 65535, 65535},
        {65536, 65535, 65535},  // no longer wraps to 0, which polled only once
        {4294967295u, 65535, 65535},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TopologyClientsPool::client_period(c.period), c.client) << c.period;
        EXPECT_EQ(TopologyMerger::max_age(c.period), c.max_age) << c.period;
    }
}

}  // namespace
