// The registry role under the real master: subscription, synchronisation and a change notice
// against a fake registry, then a reload that removes the section and a stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

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

FakeReply answer(const RecordedRequest& r) {
    if (testsupport::is_subscription(r)) return {200, testsupport::subscription_answer("u-1", 42, 60s)};
    if (r.method == "GET") {
        const json unit = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "s"}}}}},
                           {"last_modify_time", 77}};
        return {200, json({{"total", 1}, {"data", json::array({unit})}}).dump()};
    }
    return {200, "{}"};
}

TEST(RegistryUnderMaster, SynchronisesTakesNoticesAndStopsCleanly) {
    testsupport::TempDir dir;
    testsupport::FakeRegistry pell(answer);
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

}  // namespace
