// The router as the real program runs it: a child of the master, polling a topology
// service, restarted by the master's rule, reloaded by SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/fake_topology.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeTopology;
using testsupport::TempDir;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;

class RouterProgram : public ::testing::Test {
protected:
    void SetUp() override {
        port = testsupport::free_port();
        fake.set_failing(true);
        write_config(true);
    }

    void write_config(bool with_router) {
        json doc = {{"mav_root", "MAV"},
                    {"type", "ZEB"},
                    {"pid_file", dir.file("travine.pid")},
                    {"log", {{"redirect", log}, {"level", "debug"}}}};
        if (with_router)
            doc["router"] = {
                {"listen", "http://127.0.0.1:" + std::to_string(port)},
                {"topology",
                 {{"url", fake.url()}, {"filter", json::parse(FakeTopology::kFilter)}, {"update_period_sec", 1}}},
                {"route_token_service", {{"url", "http://127.0.0.1:1/token"}}},
                {"rules", {{"VexGoNode", {{"enabled", true}}}}}};
        config = dir.write("travine.json", doc.dump());
    }

    // The answer body of a GET with `fields`, or "" when the router does not answer.
    std::string ask(const std::vector<std::string>& fields, int* status = nullptr) const {
        std::string request = "GET /x HTTP/1.1\r\nHost: router\r\n";
        for (const auto& f : fields) request += f + "\r\n";
        const std::string raw = testsupport::raw_exchange(port, request + "\r\n");
        const auto end = raw.find("\r\n\r\n");
        if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return {};
        if (status) *status = std::stoi(raw.substr(9, 3));
        return raw.substr(end + 4);
    }

    size_t count(const std::string& part) const {
        const std::string text = testsupport::read_file(log);
        size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    TempDir dir;
    FakeTopology fake;
    const std::string log = dir.file("travine.log");
    uint16_t port = 0;
    std::string config;
};

TEST_F(RouterProgram, RoutesAfterTheFirstGoodPollAndFollowsTheTopology) {
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_for([&] { return testsupport::port_open(port); })) << testsupport::read_file(log);
    EXPECT_NE(ask({"vex_go_node: mav.a"}).find("topology not loaded"), std::string::npos);

    fake.set_document(FakeTopology::envelope({FakeTopology::component("mav.a")}));
    fake.set_failing(false);
    int status = 0;
    ASSERT_TRUE(wait_for([&] {
        return ask({"vex_go_node: mav.a"}, &status).find("\"cluster\":\"@mav_a\"") != std::string::npos;
    })) << ask({"vex_go_node: mav.a"});
    EXPECT_EQ(status, 200);

    // The node goes into repair: the next poll changes the answer.
    fake.set_document(FakeTopology::envelope({FakeTopology::component("mav.a", "REPAIR")}));
    EXPECT_TRUE(wait_for([&] {
        return ask({"vex_go_node: mav.a"}).find("\"cluster\":\"@mav_a\"") == std::string::npos;
    })) << ask({"vex_go_node: mav.a"});

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait());
    EXPECT_EQ(master.exit_code(), 0);
}

TEST_F(RouterProgram, RestartRuleAndReload) {
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_for([&] { return testsupport::port_open(port); })) << testsupport::read_file(log);
    auto children = testsupport::children_of(master.pid());
    ASSERT_EQ(children.size(), 1u);

    // Killed: logged as such and back at once.
    const pid_t killed = children[0];
    ::kill(killed, SIGKILL);
    ASSERT_TRUE(wait_for([&] {
        children = testsupport::children_of(master.pid());
        return children.size() == 1 && children[0] != killed;
    }, 3s));
    EXPECT_EQ(count("* process(" + std::to_string(killed) + "): killed, code(9)"), 1u);

    // Without its section the router fails with 99 and comes back every 2 seconds. (The
    // wait also covers the old router's stop and two sanitized starts and exits: on a
    // busy machine that is more than 10 seconds.)
    write_config(false);
    master.signal(SIGHUP);
    ASSERT_TRUE(wait_for([&] { return count("completed, code(99)") >= 2; }))
        << testsupport::read_file(log);
    EXPECT_GE(count("HUP received"), 1u);

    // The section restored: the router serves again without a new master.
    write_config(true);
    master.signal(SIGHUP);
    EXPECT_TRUE(wait_for([&] { return !ask({}).empty(); })) << testsupport::read_file(log);
    EXPECT_TRUE(master.running());

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait(20s));
    EXPECT_EQ(master.exit_code(), 0);
    EXPECT_TRUE(wait_for([&] { return testsupport::children_of(master.pid()).empty(); }));
}

}  // namespace
