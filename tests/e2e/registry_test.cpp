// The registry role under the real master: subscription, synchronisation and a change notice
// against a fake registry, then a reload that removes the section and a stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fake_registry.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeReply;
using testsupport::RecordedRequest;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;

constexpr const char* kSubscribePrefix = "/api/v1/topologies?graph_processing_mode=COMPOSITE&include=";

// The registry's side: a 60-second subscription, and one unit to apply when `with_unit`.
FakeReply answer(const RecordedRequest& r, bool with_unit = true) {
    if (testsupport::is_subscription(r)) return {200, testsupport::subscription_answer("u-1", 42, 60s)};
    if (r.method == "GET" && !with_unit) return {200, R"({"total": 0, "data": []})"};
    if (r.method == "GET") {
        const json unit = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "s"}}}}},
                           {"last_modify_time", 77}};
        return {200, json({{"total", 1}, {"data", json::array({unit})}}).dump()};
    }
    return {200, "{}"};
}

TEST(RegistryUnderMaster, SynchronisesTakesNoticesAndStopsCleanly) {
    testsupport::TempDir dir;
    testsupport::FakeRegistry pell([](const RecordedRequest& r) { return answer(r); });
    const uint16_t callback = testsupport::free_port();
    const std::string runs = dir.file("runs");
    const std::string confgen = dir.write("confgen", "#!/bin/sh\nread -r line\necho \"$*\" >> " + runs + "\nexit 0\n");
    ::chmod(confgen.c_str(), 0755);
    const std::string log = dir.file("travine.log");
    json doc = {{"type", "ZEB"},
                {"mav_root", "/MAV"},
                {"pid_file", dir.file("travine.pid")},
                {"log", {{"redirect", log}, {"level", "info"}}},
                {"registry",
                 {{"url", pell.url()},
                  {"callback_url", "http://127.0.0.1:" + std::to_string(callback) + "/notice"},
                  {"stats", dir.file("stats.json")},
                  {"confgen", confgen}}}};
    const std::string config = dir.write("travine.json", doc.dump());
    auto logged = [&](const std::string& part) {
        return testsupport::read_file(log).find(part) != std::string::npos;
    };

    TravineProcess master({"-c", config});
    pell.start();  // only now a thread of its own: the master was forked without one
    ASSERT_TRUE(wait_for([&] { return testsupport::read_file(runs) == "--update --reload\n"; }))
        << testsupport::read_file(log);
    ASSERT_TRUE(pell.wait_requests("PATCH", "/api/v1/topologies?graph_processing_mode=COMPOSITE", 2));
    EXPECT_NE(pell.requests("GET", "/api/v1/deployment_units?")[0].decoded.find(R"(node_path="/mav")"),
              std::string::npos);

    const std::string deletion =
        R"({"type": "DeploymentUnitChangePayload", "action": "DELETED", "subsystem": "s", "deploymentUnit": "web"})";
    const std::string reply = testsupport::raw_exchange(
        callback, "POST /notice HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(deletion.size()) +
                      "\r\n\r\n" + deletion);
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(testsupport::read_file(runs), "--update --reload\n--delete s.web --reload\n");

    // A reload without the section stops the role, which unsubscribes and keeps its
    // statistics; started again, it fails until a section comes back.
    doc.erase("registry");
    dir.write("travine.json", doc.dump());
    master.signal(SIGHUP);
    ASSERT_TRUE(wait_for([&] { return logged("main: registry section is off"); })) << testsupport::read_file(log);
    ASSERT_EQ(pell.requests("DELETE", "/").size(), 1u);
    EXPECT_EQ(pell.requests("DELETE", "/")[0].target, "/api/v1/subscriptions/42");
    EXPECT_EQ(json::parse(testsupport::read_file(dir.file("stats.json"))), json({{"sync_time", 77}, {"uuid", "u-1"}}));

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait());
    EXPECT_EQ(master.exit_code(), 0);
}

// The role under the master with a confgen script of the test's; the registry has no units,
// so confgen runs only for the forced updates that the test posts.
class RegistryConfgen : public testing::Test {
protected:
    // Writes the confgen script (DIR in it stands for the test's directory), starts the
    // master and waits for the role's first subscription.
    void start(std::string script) {
        for (auto at = script.find("DIR"); at != std::string::npos; at = script.find("DIR", at))
            script.replace(at, 3, dir.path());
        const std::string confgen = dir.write("confgen", script);
        ::chmod(confgen.c_str(), 0755);
        const json doc = {{"type", "ZEB"},
                          {"mav_root", "/mav"},
                          {"pid_file", dir.file("travine.pid")},
                          {"log", {{"redirect", dir.file("travine.log")}, {"level", "info"}}},
                          {"registry",
                           {{"url", pell.url()},
                            {"callback_url", "http://127.0.0.1:" + std::to_string(callback) + "/notice"},
                            {"stats", dir.file("stats.json")},
                            {"confgen", confgen}}}};
        master = std::make_unique<TravineProcess>(std::vector<std::string>{"-c", dir.write("travine.json", doc.dump())});
        pell.start();  // only now a thread of its own: the master was forked without one
        ASSERT_TRUE(pell.wait_requests("PATCH", kSubscribePrefix, 1, 30s)) << log();
    }

    void TearDown() override {
        if (master) {
            master->signal(SIGTERM);
            EXPECT_TRUE(master->wait());
        }
    }

    // Posts a notice; the status (0 when none came) and how long until the connection closed.
    std::pair<int, std::string> post(const std::string& body, const std::string& fields,
                                     std::chrono::milliseconds deadline, std::chrono::milliseconds* took = nullptr) {
        const auto started = std::chrono::steady_clock::now();
        const std::string raw = testsupport::raw_exchange(
            callback, "POST /notice HTTP/1.1\r\nHost: x\r\n" + fields +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
            deadline);
        if (took != nullptr)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        if (raw.size() < 12) return {0, ""};
        const auto end = raw.find("\r\n\r\n");
        return {std::stoi(raw.substr(9, 3)), end == std::string::npos ? "" : raw.substr(end + 4)};
    }

    std::pair<int, std::string> force_update(std::chrono::milliseconds deadline = 15s,
                                             std::chrono::milliseconds* took = nullptr) {
        const json forced = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "s"}}}}},
                             {"node_path", "/mav"}};
        return post(forced.dump(), "rs-force-update: true\r\n", deadline, took);
    }

    // The process that confgen left behind, killed when the test ends.
    pid_t orphan() {
        pid_t pid = 0;
        EXPECT_TRUE(wait_for([&] { return (pid = std::atoi(testsupport::read_file(dir.file("orphan.pid")).c_str())) > 0; }));
        if (pid > 0) guards.push_back(std::make_unique<testsupport::ProcessGuard>(pid));
        return pid;
    }

    std::string log() const { return testsupport::read_file(dir.file("travine.log")); }

    testsupport::TempDir dir;
    testsupport::FakeRegistry pell{[](const RecordedRequest& r) { return answer(r, false); }};
    const uint16_t callback = testsupport::free_port();
    std::unique_ptr<TravineProcess> master;
    std::vector<std::unique_ptr<testsupport::ProcessGuard>> guards;
};

TEST_F(RegistryConfgen, ConfgenHasOnlyItsStandardStreams) {
    ASSERT_NO_FATAL_FAILURE(start("#!/bin/sh\nread -r line\n/bin/ls -l /proc/self/fd > DIR/fds\n"));
    ASSERT_EQ(force_update().first, 200) << log();
    const std::string listing = testsupport::read_file(dir.file("fds"));
    EXPECT_EQ(testsupport::listed_descriptors(listing), (std::vector<int>{0, 1, 2})) << listing;
}

// A process that confgen leaves running must not keep the callback address: after the role
// is started again it would take a share of the notices and never answer them.
TEST_F(RegistryConfgen, ProcessLeftByConfgenHoldsNoListeningSocket) {
    ASSERT_NO_FATAL_FAILURE(start("#!/bin/sh\nread -r line\n/bin/sleep 30 &\necho $! > DIR/orphan.pid\n"));
    ASSERT_EQ(force_update().first, 200) << log();
    ASSERT_GT(orphan(), 0);

    master->signal(SIGHUP);  // every role is stopped and started again
    ASSERT_TRUE(pell.wait_requests("PATCH", kSubscribePrefix, 2, 30s)) << log();
    const std::string update = R"({"type": "DeploymentUnitChangePayload", "action": "UPDATED"})";
    int answered = 0;
    for (int i = 0; i < 10; ++i) answered += post(update, "", 5s).first == 200;
    EXPECT_EQ(answered, 10);
}

// The watchdog kills confgen, but not the program confgen waits for: that one must not hold
// the notice's connection open once its answer is written.
TEST_F(RegistryConfgen, AnswerOfAKilledRunClosesItsConnection) {
    ASSERT_NO_FATAL_FAILURE(start("#!/bin/sh\nread -r line\n/bin/sh -c 'echo $$ > DIR/orphan.pid; exec /bin/sleep 30'\n"));
    std::chrono::milliseconds took{};
    const auto [status, body] = force_update(25s, &took);
    ASSERT_GT(orphan(), 0);
    EXPECT_EQ(status, 503);
    EXPECT_EQ(body.rfind(R"({"errors":"confgen hangup)", 0), 0u) << body;
    // Nine seconds of watchdog and some room for a busy machine, far from the thirty seconds
    // that the sleeping program lives.
    EXPECT_LT(took, 15s);
}

}  // namespace
