// The registry role forked as it runs under the master, against a fake registry on loopback
// and a confgen script written by the test. The script records its arguments and the line
// it reads, and behaves by a marker in that line.
#include "roles/registry.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <ostream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "common/syslog.hpp"
#include "config/config.hpp"
#include "support/fake_registry.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;
using testsupport::FakeReply;
using testsupport::RecordedRequest;

namespace {

using namespace std::chrono_literals;

constexpr const char* kSubscribePrefix = "/api/v1/topologies?graph_processing_mode=COMPOSITE&include=";
constexpr const char* kStatusTarget = "/api/v1/topologies?graph_processing_mode=COMPOSITE";
constexpr const char* kUnitsPrefix = "/api/v1/deployment_units?";

const char* const kConfgen = R"(#!/bin/sh
if [ -e RUNS.chatty ]; then /usr/bin/head -c 300000 /dev/zero | /usr/bin/tr '\000' z >&2; fi
read -r line
printf '%s|%s\n' "$*" "$line" >> RUNS
case "$line" in
  *fail-me*) echo "bad unit" >&2; echo "second" >&2; exit 2 ;;
  *hang-me*) exec /bin/cat >/dev/null ;;
  *warn-me*) echo w1 >&2; echo w2 >&2; echo >&2; echo hidden >&2 ;;
  *big-me*) /usr/bin/head -c 5000 /dev/zero | /usr/bin/tr '\000' x >&2 ;;
  *huge-me*) /usr/bin/head -c 300000 /dev/zero | /usr/bin/tr '\000' y >&2 ;;
  *latin-me*) printf '\351t\351\n' >&2 ;;
  *utf8-me*) /usr/bin/head -c 4094 /dev/zero | /usr/bin/tr '\000' u >&2; printf '\303\251\n' >&2 ;;
esac
exit 0
)";

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A subscribe answer with these values as they are.
FakeReply subscribed_as(const std::string& uuid, const json& id, const json& expiry) {
    json instance = {{"uuid", uuid}, {"subscription", {{"id", id}, {"expiration_date_msec", expiry}}}};
    json doc = {{"data", json::array({{{"subsystems",
                                         json::array({{{"deployment_units",
                                                        json::array({{{"deployment_unit_instances",
                                                                       json::array({instance})}}})}}})}}})}};
    return {200, doc.dump()};
}

FakeReply subscribed(const std::string& uuid, int id, int64_t lease_ms) {
    return subscribed_as(uuid, id, now_ms() + lease_ms);
}

json unit(const std::string& code, int64_t modified, const std::string& marker = "") {
    json u = {{"custom_objects", {{"ZEB", {{"deploymentUnit", code}, {"subsystem", "s"}, {"note", marker}}}}}};
    if (modified >= 0) u["last_modify_time"] = modified;
    return u;
}

// A unit whose modification time is this value as it is.
json unit_at(const std::string& code, const json& modified) {
    json u = unit(code, -1);
    u["last_modify_time"] = modified;
    return u;
}

FakeReply units(const json& data, int total = -1) {
    return {200, json({{"total", total < 0 ? static_cast<int>(data.size()) : total}, {"data", data}}).dump()};
}

// The topology envelope of every PATCH, around one instance.
json envelope(const json& instance) {
    return json::array({{{"code", "RUNTIME_TOPOLOGY"},
                         {"subsystems",
                          json::array({{{"code", "ORU"},
                                        {"deployment_units",
                                         json::array({{{"code", "oru-nginx"},
                                                       {"deployment_unit_instances", json::array({instance})},
                                                       {"node_path", "/mav"}}})}}})}}});
}

json status_of(const std::string& name, const std::string& status, const std::string& revision,
               const std::string& error) {
    return envelope({{"dynamic_properties",
                      json::array({{{"key", "conf.apply.status." + name}, {"value", status}},
                                   {{"key", "conf.apply.revision." + name}, {"value", revision}},
                                   {{"key", "conf.apply.error.message." + name}, {"value", error}}})},
                     {"uuid", "u-1"}});
}

struct ConfgenRun {
    std::string args;
    std::string input;
};

struct Answer {
    int status = 0;
    std::string body;
};

class RegistryRole : public testing::Test {
protected:
    void SetUp() override {
        callback_port = testsupport::free_port();
        runs_path = dir.file("runs");
        std::string script = kConfgen;
        for (auto at = script.find("RUNS"); at != std::string::npos; at = script.find("RUNS", at))
            script.replace(at, 4, runs_path);
        confgen_path = dir.write("confgen", script);
        ::chmod(confgen_path.c_str(), 0755);
        pell = std::make_unique<testsupport::FakeRegistry>([this](const RecordedRequest& r) { return reply(r); });
    }

    void TearDown() override {
        if (role && role->running == 1) {
            ::kill(role->pid, SIGKILL);
            role->wait(0);
        }
        role.reset();
        pell.reset();
        framework::Syslog::set_log_level("info");
        framework::Syslog::redirect("");
    }

    FakeReply reply(const RecordedRequest& r) {
        if (r.method == "PATCH" && r.decoded.rfind(kSubscribePrefix, 0) == 0) return on_subscribe(subscribes++);
        if (r.method == "GET" && r.decoded.rfind(kUnitsPrefix, 0) == 0) return on_units();
        return {200, "{}"};
    }

    json config_doc(bool with_registry = true) {
        json doc = {{"type", "ZEB"},
                    {"mav_root", "/mav"},
                    {"log", {{"redirect", dir.file("log")}, {"level", "debug3"}}}};
        if (with_registry)
            doc["registry"] = {{"url", pell->url()},
                               {"callback_url", callback_url()},
                               {"stats", dir.file("stats.json")},
                               {"confgen", confgen_path}};
        return doc;
    }

    std::string callback_url() const {
        return "http://127.0.0.1:" + std::to_string(callback_port) + "/pell/notice";
    }

    // Forks the role while the test has no other thread, then starts the fake registry.
    void start_role(const std::string& stats = "", bool with_registry = true, bool serve = true) {
        if (!stats.empty()) dir.write("stats.json", stats);
        ASSERT_TRUE(config.load(dir.write("config.json", config_doc(with_registry).dump())));
        role = std::make_unique<registry::Registry>(config);
        ASSERT_TRUE(role->start());
        if (serve) pell->start();
    }

    // The first subscription follows the listen on the callback address.
    void start_and_wait_subscribed(const std::string& stats = "") {
        start_role(stats);
        ASSERT_TRUE(pell->wait_requests("PATCH", kSubscribePrefix, 1));
    }

    // The exit code, or 128 + the signal; -1 when it had to be killed.
    int wait_exit(std::chrono::milliseconds deadline = 15s) {
        if (!testsupport::wait_for([&] { return role->wait(WNOHANG); }, deadline)) {
            ::kill(role->pid, SIGKILL);
            role->wait(0);
            return -1;
        }
        return WIFEXITED(role->status) ? WEXITSTATUS(role->status) : 128 + WTERMSIG(role->status);
    }

    int stop_role() {
        ::kill(role->pid, SIGTERM);
        return wait_exit();
    }

    std::vector<std::string> log() { return testsupport::log_file_messages(dir.file("log")); }

    std::vector<std::string> log_starting(const std::string& prefix) {
        std::vector<std::string> found;
        for (auto& line : log())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    // The bodies of the status reports, in the order they came.
    std::vector<std::string> reports() const {
        std::vector<std::string> bodies;
        for (const auto& r : pell->requests("PATCH", kStatusTarget))
            if (r.target == kStatusTarget) bodies.push_back(r.body);
        return bodies;
    }

    std::vector<ConfgenRun> runs() const {
        std::vector<ConfgenRun> out;
        std::istringstream in(testsupport::read_file(runs_path));
        for (std::string line; std::getline(in, line);) {
            const auto bar = line.find('|');
            out.push_back({line.substr(0, bar), line.substr(bar + 1)});
        }
        return out;
    }

    Answer notice(const std::string& body, const std::string& extra_fields = "",
                  const std::string& method = "POST", const std::string& target = "/pell/notice",
                  std::chrono::milliseconds deadline = 5s) const {
        const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_fields +
                                    "Content-Type: application/json\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        const std::string raw = testsupport::raw_exchange(callback_port, request, deadline);
        Answer a;
        if (raw.size() < 12) return a;
        a.status = std::stoi(raw.substr(9, 3));
        const auto end = raw.find("\r\n\r\n");
        if (end != std::string::npos) a.body = raw.substr(end + 4);
        return a;
    }

    testsupport::TempDir dir;
    uint16_t callback_port = 0;
    std::string runs_path;
    std::string confgen_path;
    std::atomic<int> subscribes{0};
    std::function<FakeReply(int)> on_subscribe = [](int) { return subscribed("u-1", 7, 60500); };
    std::function<FakeReply()> on_units = [] { return units(json::array()); };
    std::unique_ptr<testsupport::FakeRegistry> pell;
    Config config;
    std::unique_ptr<registry::Registry> role;
};

TEST_F(RegistryRole, FirstSubscriptionSynchronisesAppliesAndReports) {
    on_units = [] { return units({unit("a", 100), unit("b", 300), unit("c", 200)}); };
    start_and_wait_subscribed();
    ASSERT_TRUE(testsupport::wait_for([&] { return reports().size() == 3; }));

    const auto subscribe = pell->requests("PATCH", kSubscribePrefix).at(0);
    EXPECT_EQ(subscribe.decoded,
              std::string(kSubscribePrefix) +
                  R"(["subsystems","subsystems.deployment_units","subsystems.deployment_units.deployment_unit_instances",)"
                  R"("subsystems.deployment_units.deployment_unit_instances.subscription",)"
                  R"("subsystems.deployment_units.deployment_unit_instances.subscription.subscription_gateway_filter"])"
                  R"(&cayenneExp=code="RUNTIME_TOPOLOGY" and subsystems.code="ORU" and subsystems.deployment_units.code="oru-nginx")");
    EXPECT_EQ(subscribe.target.find_first_of(" \"<>"), std::string::npos);
    EXPECT_EQ(subscribe.fields.at("content-type"), "application/json");
    const json instance = {{"physical_coordinate_host", config.get_registry()->callback_url.host},
                           {"physical_coordinate_ip", "127.0.0.1"},
                           {"subscription",
                            {{"callback_url", callback_url()},
                             {"subscription_gateway_filter", {{"gateway_type", "ZEB"}, {"node_path", "/mav"}}}}},
                           {"uuid", ""}};
    EXPECT_EQ(subscribe.body, envelope(instance).dump());

    const auto queries = pell->requests("GET", kUnitsPrefix);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].decoded,
              R"(/api/v1/deployment_units?includeCustomObjects=ZEB&cayenneExp=subsystem.topology.code="CONFIG_TOPOLOGY")"
              R"( and node_path="/mav" and last_modify_time > "0")");
    EXPECT_TRUE(queries[0].body.empty());

    // Array order, the last one reloads; confgen reads each unit's compact JSON.
    const auto done = runs();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].args, "--update");
    EXPECT_EQ(done[1].args, "--update");
    EXPECT_EQ(done[2].args, "--update --reload");
    EXPECT_EQ(done[1].input, unit("b", 300).dump());

    // Each report is a request of its own, so they may arrive in any order.
    auto bodies = reports();
    std::sort(bodies.begin(), bodies.end());
    std::vector<std::string> want = {status_of("s.a", "SUCCESS", "100", "").dump(),
                                     status_of("s.b", "SUCCESS", "300", "").dump(),
                                     status_of("s.c", "SUCCESS", "200", "").dump()};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(bodies, want);

    const auto lines = log();
    EXPECT_THAT(lines, testing::Contains("on_subscribe: u-1, for 60 sec"));
    EXPECT_THAT(lines, testing::Contains("full sync with PELL"));
    EXPECT_THAT(lines, testing::Contains("confgen: UPDATE: b"));
    EXPECT_THAT(lines, testing::Contains("status: s.c: Success"));

    EXPECT_EQ(stop_role(), 0);
    const auto deletes = pell->requests("DELETE", "/api/v1/subscriptions/");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].target, "/api/v1/subscriptions/7");
    EXPECT_EQ(testsupport::read_file(dir.file("stats.json")), "{\n    \"sync_time\": 300,\n    \"uuid\": \"u-1\"\n}");
}

TEST_F(RegistryRole, RestartResumesFromTheStatsFile) {
    on_subscribe = [](int) { return subscribed("u-1", 8, 9999); };
    start_and_wait_subscribed(R"({"extra": true, "sync_time": 1234, "uuid": "u-1"})");
    // The same uuid as the stats file: the first success of a process synchronises anyway.
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    ASSERT_TRUE(testsupport::wait_for([&] { return !log_starting("on_sync: ").empty(); }));

    EXPECT_EQ(json::parse(pell->requests("PATCH", kSubscribePrefix).at(0).body)[0]["subsystems"][0]
                  ["deployment_units"][0]["deployment_unit_instances"][0]["uuid"],
              "u-1");
    EXPECT_THAT(pell->requests("GET", kUnitsPrefix).at(0).decoded, testing::EndsWith(R"(last_modify_time > "1234")"));
    const auto lines = log();
    EXPECT_THAT(lines, testing::Contains("on_subscribe: u-1, for 9 -> 300 sec"));
    EXPECT_THAT(lines, testing::Contains("sync with PELL, from 1234"));
    EXPECT_THAT(lines, testing::Contains("on_sync: no updates yet"));

    EXPECT_EQ(stop_role(), 0);
    EXPECT_EQ(json::parse(testsupport::read_file(dir.file("stats.json"))),
              json({{"extra", true}, {"sync_time", 1234}, {"uuid", "u-1"}}));
    EXPECT_EQ(pell->requests("DELETE", "/api/v1/subscriptions/").at(0).target, "/api/v1/subscriptions/8");
}

TEST_F(RegistryRole, FailedSubscriptionRetriesInFiveSecondsWithAnEmptyUuid) {
    on_subscribe = [](int n) { return n == 0 ? FakeReply{200, R"({"data": []})"} : FakeReply{503, ""}; };
    start_and_wait_subscribed(R"({"uuid": "u-0"})");
    ASSERT_TRUE(pell->wait_requests("PATCH", kSubscribePrefix, 2, 10s));

    const auto attempts = pell->requests("PATCH", kSubscribePrefix);
    auto uuid_of = [](const RecordedRequest& r) {
        return json::parse(r.body)[0]["subsystems"][0]["deployment_units"][0]["deployment_unit_instances"][0]["uuid"];
    };
    EXPECT_EQ(uuid_of(attempts[0]), "u-0");
    EXPECT_EQ(uuid_of(attempts[1]), "");
    EXPECT_GE(attempts[1].when - attempts[0].when, 4500ms);
    EXPECT_THAT(log_starting("on_subscribe: "), testing::ElementsAre(StartsWith("on_subscribe: [json.exception.")));
    EXPECT_TRUE(pell->requests("GET", kUnitsPrefix).empty());

    // Never subscribed: nothing to delete.
    EXPECT_EQ(stop_role(), 0);
    EXPECT_TRUE(pell->requests("DELETE", "/").empty());
    EXPECT_EQ(json::parse(testsupport::read_file(dir.file("stats.json"))), json({{"uuid", "u-0"}}));
}

TEST_F(RegistryRole, NoticesAreAnsweredByKind) {
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));

    const json forced = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "sub1"}}}}},
                         {"node_path", "/mav"}};
    json forced_failing = forced;
    forced_failing["custom_objects"]["ZEB"]["note"] = "fail-me";
    json forced_upper = forced;
    forced_upper["node_path"] = "/MAV";
    const json forced_other = {{"custom_objects", {{"ABC", {{"deploymentUnit", "web"}, {"subsystem", "sub1"}}}}},
                               {"node_path", "/mav"}};
    const json deletion = {{"type", "DeploymentUnitChangePayload"}, {"action", "Deleted"},
                           {"subsystem", "sub1"}, {"deploymentUnit", "web"}};
    json deletion_failing = deletion;
    deletion_failing["deploymentUnit"] = "fail-me";
    json deletion_incomplete = deletion;
    deletion_incomplete.erase("subsystem");
    // Cut at the NUL, the argument would name the unit "web".
    json deletion_nul = deletion;
    deletion_nul["deploymentUnit"] = std::string("web\0evil", 8);
    json forced_nul = forced;
    forced_nul["custom_objects"]["ZEB"]["subsystem"] = std::string("sub1\0", 5);
    const std::string force = "rs-force-update: true\r\n";

    struct Case {
        const char* what;
        std::string method, target, body, fields;
        int status;
        std::string body_has;  // empty: the answer has no body
    };
    const std::vector<Case> cases = {
        {"GET", "GET", "/pell/notice", "", "", 405, ""},
        {"another path", "POST", "/pell/other", deletion.dump(), "", 400, ""},
        {"an extra query", "POST", "/pell/notice?x=1", deletion.dump(), "", 400, ""},
        {"not JSON", "POST", "/pell/notice", "not json", "", 503, "\"error\":"},
        {"no type", "POST", "/pell/notice", R"({"action": "UPDATED"})", "", 503, "key 'type' not found"},
        {"another type", "POST", "/pell/notice", R"({"type": "Other", "action": "UPDATED"})", "", 400, ""},
        {"forced without its field", "POST", "/pell/notice", forced.dump(), "", 400, ""},
        {"forced with TRUE", "POST", "/pell/notice", forced.dump(), "rs-force-update: TRUE\r\n", 400, ""},
        {"forced for another root", "POST", "/pell/notice", forced_upper.dump(), force, 400, ""},
        {"forced for another type", "POST", "/pell/notice", forced_other.dump(), force, 400, ""},
        {"forced", "POST", "/pell/notice", forced.dump(), force, 200, ""},
        {"forced failing", "POST", "/pell/notice", forced_failing.dump(), force, 503,
         R"({"errors":"bad unit\nsecond\n"})"},
        {"deletion", "POST", "/pell/notice", deletion.dump(), "", 200, ""},
        {"deletion failing", "POST", "/pell/notice", deletion_failing.dump(), "", 503, ""},
        {"deletion without subsystem", "POST", "/pell/notice", deletion_incomplete.dump(), "", 503,
         "key 'subsystem' not found"},
        {"deletion with a NUL in its unit", "POST", "/pell/notice", deletion_nul.dump(), "", 503,
         R"({"error":"\"deploymentUnit\" holds a NUL byte"})"},
        {"forced with a NUL in its subsystem", "POST", "/pell/notice", forced_nul.dump(), force, 503,
         R"({"error":"\"subsystem\" holds a NUL byte"})"},
        {"update, path in upper case", "POST", "/PELL/NOTICE",
         R"({"type": "deploymentunitchangepayload", "action": "updated"})", "", 200, ""},
    };
    for (const auto& c : cases) {
        const Answer a = notice(c.body, c.fields, c.method, c.target);
        EXPECT_EQ(a.status, c.status) << c.what;
        if (c.body_has.empty())
            EXPECT_EQ(a.body, "") << c.what;
        else
            EXPECT_THAT(a.body, HasSubstr(c.body_has)) << c.what;
    }

    const auto done = runs();
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[0].args, "--update --reload");
    EXPECT_EQ(done[0].input, forced.dump());
    EXPECT_EQ(done[1].args, "--update --reload");
    EXPECT_EQ(done[2].args, "--delete sub1.web --reload");
    EXPECT_EQ(done[2].input, deletion.dump());
    EXPECT_EQ(done[3].args, "--delete sub1.fail-me --reload");
    // Notices report nothing back.
    EXPECT_TRUE(reports().empty());

    const auto lines = log();
    EXPECT_THAT(lines, testing::Contains("confgen: bad unit"));
    EXPECT_THAT(lines, testing::Contains("confgen: DELETE: web"));
    EXPECT_THAT(lines, testing::Contains(testing::MatchesRegex(
                           "notice\\([0-9]+\\): registry forced update, " + std::to_string(forced.dump().size()) +
                           " byte\\(s\\)")));
    EXPECT_EQ(stop_role(), 0);
}

TEST_F(RegistryRole, ChangeNoticesLeadToOneSynchronisationThreeSecondsLater) {
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    const std::string update = R"({"type": "DeploymentUnitChangePayload", "action": "UPDATED"})";
    ASSERT_EQ(notice(update).status, 200);
    ASSERT_EQ(notice(update).status, 200);
    const auto answered = std::chrono::steady_clock::now();

    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 2, 8s));
    EXPECT_GE(pell->requests("GET", kUnitsPrefix).at(1).when - answered, 2900ms);
    EXPECT_EQ(stop_role(), 0);
    EXPECT_EQ(pell->requests("GET", kUnitsPrefix).size(), 2u);
}

// A hanging confgen holds one event-loop thread and a notice waiting for its turn the
// other: the watchdog must still kill it, and the waiting notice then runs.
TEST_F(RegistryRole, WatchdogKillsAHangingRunWhileAnotherNoticeWaits) {
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    const json hanging = {{"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "sub1"}, {"note", "hang-me"}}}}},
                          {"node_path", "/mav"}};
    const json deletion = {{"type", "DeploymentUnitChangePayload"}, {"action", "DELETED"},
                           {"subsystem", "sub1"}, {"deploymentUnit", "web"}};

    const auto started = std::chrono::steady_clock::now();
    auto first = std::async(std::launch::async, [&] {
        return notice(hanging.dump(), "rs-force-update: true\r\n", "POST", "/pell/notice", 20s);
    });
    ASSERT_TRUE(testsupport::wait_for([&] { return runs().size() == 1; }));
    auto second = std::async(std::launch::async, [&] {
        return notice(deletion.dump(), "", "POST", "/pell/notice", 20s);
    });

    const Answer killed = first.get();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 8900ms);
    EXPECT_EQ(killed.status, 503);
    EXPECT_THAT(killed.body, StartsWith(R"({"errors":"confgen hangup)"));
    EXPECT_EQ(second.get().status, 200);
    ASSERT_EQ(runs().size(), 2u);
    EXPECT_EQ(runs()[1].args, "--delete sub1.web --reload");
    EXPECT_THAT(log(), testing::Contains("confgen: * killed by timer"));
    EXPECT_EQ(stop_role(), 0);
}

// Far more than a pipe holds on standard error, after reading the unit, or before reading
// a unit that is itself more than a pipe holds: either way the run ends on its own.
TEST_F(RegistryRole, RunThatWritesMoreThanThePipeHoldsEndsOnItsOwn) {
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    struct Case {
        const char* what;
        std::string note;
        bool chatty;  // writes its standard error before it reads
    };
    const std::vector<Case> cases = {
        {"writes after reading", "huge-me", false},
        {"writes before reading a large unit", std::string(100000, 'n'), true},
    };
    for (const auto& c : cases) {
        if (c.chatty) dir.write("runs.chatty", "");
        const json verbose = {
            {"custom_objects", {{"ZEB", {{"deploymentUnit", "web"}, {"subsystem", "sub1"}, {"note", c.note}}}}},
            {"node_path", "/mav"}};
        const auto started = std::chrono::steady_clock::now();
        const Answer a = notice(verbose.dump(), "rs-force-update: true\r\n", "POST", "/pell/notice", 20s);
        EXPECT_EQ(a.status, 200) << c.what << ": " << a.body.substr(0, 200);
        // Far less than the watchdog's nine seconds: the run was never blocked on a pipe.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 8s) << c.what;
    }
    EXPECT_THAT(log(), testing::Not(testing::Contains("confgen: * killed by timer")));
    EXPECT_EQ(stop_role(), 0);
}

TEST_F(RegistryRole, BatchGoesOnPastFailuresAndReportsEachRun) {
    on_units = [] {
        return units({unit("warn", 10, "warn-me"), unit("fail", 30, "fail-me"), unit("undated", -1),
                      unit("big", 20, "big-me"), unit("latin", 25, "latin-me"), unit("zero", 0),
                      unit("utf8", 27, "utf8-me"),
                      unit(std::string("n\0ul", 4), 5)},
                     1000000);
    };
    start_and_wait_subscribed();
    ASSERT_TRUE(testsupport::wait_for([&] { return runs().size() == 6; }));
    ASSERT_TRUE(testsupport::wait_for([&] { return reports().size() == 5; }));
    EXPECT_EQ(stop_role(), 0);

    // "total" beyond the data: the missing indexes fail once, and so no run reloads.
    for (const auto& run : runs()) EXPECT_EQ(run.args, "--update");
    EXPECT_EQ(log_starting("on_sync: [json.exception.out_of_range.401]").size(), 1u);
    EXPECT_THAT(log(), testing::Contains("on_sync: [json.exception.out_of_range.403] key 'last_modify_time' not found"));
    EXPECT_THAT(log(), testing::Contains("confgen: bad unit"));
    EXPECT_THAT(log(), testing::Contains("on_sync: \"deploymentUnit\" holds a NUL byte"));

    // Each report is a request of its own, so they are told apart by unit, not by arrival.
    auto properties_of = [](const json& report) -> const json& {
        return report[0]["subsystems"][0]["deployment_units"][0]["deployment_unit_instances"][0]
                     ["dynamic_properties"];
    };
    std::map<std::string, json> sent;
    for (const auto& body : reports()) {
        json report = json::parse(body);
        std::string key = properties_of(report)[0]["key"];
        sent.emplace(key.substr(std::strlen("conf.apply.status.")), std::move(report));
    }
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent["s.warn"], status_of("s.warn", "SUCCESS", "10", "w1\nw2\n"));
    EXPECT_EQ(sent["s.fail"], status_of("s.fail", "FAIL", "30", "bad unit\nsecond\n"));
    const auto& properties = sent["s.big"][0]["subsystems"][0]["deployment_units"][0]["deployment_unit_instances"][0]
                                        ["dynamic_properties"];
    EXPECT_EQ(properties[1]["value"], "20");
    EXPECT_EQ(properties[2]["value"], std::string(4095, 'x'));
    // Bytes that are not UTF-8 do not cost the report.
    EXPECT_EQ(sent["s.latin"][0]["subsystems"][0]["deployment_units"][0]["deployment_unit_instances"][0]
                     ["dynamic_properties"][0]["value"],
              "SUCCESS");
    // 4094 bytes and a two-byte character are cut before the character, not inside it.
    EXPECT_EQ(sent["s.utf8"][0]["subsystems"][0]["deployment_units"][0]["deployment_unit_instances"][0]
                     ["dynamic_properties"][2]["value"],
              std::string(4094, 'u'));

    // A failed run counts for the newest time all the same.
    EXPECT_EQ(json::parse(testsupport::read_file(dir.file("stats.json")))["sync_time"], 30);
}

TEST_F(RegistryRole, FailedQueryChangesNothing) {
    on_units = [] { return FakeReply{404, ""}; };
    start_and_wait_subscribed();
    ASSERT_TRUE(testsupport::wait_for([&] { return !log_starting("on_sync: ").empty(); }));
    EXPECT_THAT(log_starting("on_sync: "), testing::ElementsAre("on_sync: code 404"));
    EXPECT_EQ(stop_role(), 0);
    EXPECT_TRUE(runs().empty());
    EXPECT_EQ(testsupport::read_file(dir.file("stats.json")), "{}");
}

// Numbers that do not fit the type they are read as are as unusable as missing ones: made to
// fit, they would be stored and sent back to the registry.
struct SubscriptionCase {
    const char* what;
    json id;
    json expiry;  // null: a minute ahead
};

void PrintTo(const SubscriptionCase& c, std::ostream* os) { *os << c.what; }

// The case's "what" as a test name.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.what;
    for (auto& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

class RegistrySubscriptionNumbers : public RegistryRole, public testing::WithParamInterface<SubscriptionCase> {};

TEST_P(RegistrySubscriptionNumbers, AnswerOutOfRangeIsRetriedInFiveSeconds) {
    const SubscriptionCase c = GetParam();
    on_subscribe = [c](int n) {
        if (n > 0) return subscribed("u-1", 7, 60500);
        return subscribed_as("u-1", c.id, c.expiry.is_null() ? json(now_ms() + 60000) : c.expiry);
    };
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("PATCH", kSubscribePrefix, 2, 10s));
    const auto attempts = pell->requests("PATCH", kSubscribePrefix);
    EXPECT_GE(attempts[1].when - attempts[0].when, 4500ms);
    ASSERT_TRUE(testsupport::wait_for([&] { return !log_starting("on_subscribe: u-1").empty(); }));
    EXPECT_THAT(log_starting("on_subscribe: "),
                testing::ElementsAre(testing::MatchesRegex("on_subscribe: \"(id|expiration_date_msec)\" out of range: .*"),
                                     "on_subscribe: u-1, for 60 sec"));
    // The one synchronisation follows the usable answer.
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    EXPECT_EQ(stop_role(), 0);
    ASSERT_EQ(pell->requests("DELETE", "/").size(), 1u);
    EXPECT_EQ(pell->requests("DELETE", "/")[0].target, "/api/v1/subscriptions/7");
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegistrySubscriptionNumbers,
    testing::Values(SubscriptionCase{"id beyond 32 bits", 99999999999LL, nullptr},
                    SubscriptionCase{"id one above", 2147483648LL, nullptr},
                    SubscriptionCase{"id one below", -2147483649LL, nullptr},
                    SubscriptionCase{"fractional id beyond", 1e10, nullptr},
                    SubscriptionCase{"expiry beyond 64 bits", 7, 1.5e300},
                    SubscriptionCase{"expiry beyond signed", 7, 18446744073709551615ULL}),
    case_name<SubscriptionCase>);

struct SyncCase {
    const char* what;
    json answer;
    std::vector<std::string> runs;  // the units run, in order
    json sync_time;                 // null: left as it was (absent)
    std::size_t refused;            // lines naming a number out of range
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.what; }

class RegistrySyncNumbers : public RegistryRole, public testing::WithParamInterface<SyncCase> {};

TEST_P(RegistrySyncNumbers, UnitOrTotalOutOfRangeIsNotApplied) {
    const SyncCase c = GetParam();
    on_units = [c] { return FakeReply{200, c.answer.dump()}; };
    start_and_wait_subscribed();
    ASSERT_TRUE(pell->wait_requests("GET", kUnitsPrefix, 1));
    ASSERT_TRUE(testsupport::wait_for([&] {
        std::size_t n = 0;
        for (const auto& line : log())
            if (line.find("\" out of range: ") != std::string::npos) ++n;
        return n == c.refused && runs().size() == c.runs.size();
    }));
    EXPECT_EQ(stop_role(), 0);

    std::vector<std::string> applied;
    for (const auto& run : runs()) applied.push_back(json::parse(run.input)["custom_objects"]["ZEB"]["deploymentUnit"]);
    EXPECT_EQ(applied, c.runs);
    const json stats = json::parse(testsupport::read_file(dir.file("stats.json")));
    if (c.sync_time.is_null())
        EXPECT_FALSE(stats.contains("sync_time")) << stats;
    else
        EXPECT_EQ(stats["sync_time"], c.sync_time);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegistrySyncNumbers,
    testing::Values(
        SyncCase{"times beyond 64 bits",
                 {{"total", 5},
                  {"data", json::array({unit_at("huge", 1.5e300), unit_at("below", -1.5e300),
                                        unit_at("unsigned", 9223372036854775808ULL),
                                        unit_at("edge", -9.223372036854775808e18), unit("ok", 50)})}},
                 {"edge", "ok"},
                 50,
                 3},
        SyncCase{"total beyond 32 bits", {{"total", 4294967297LL}, {"data", json::array({unit("ok", 50)})}}, {},
                 nullptr, 1}),
    case_name<SyncCase>);

TEST_F(RegistryRole, RoleThatCannotStartExitsWith99) {
    struct Case {
        const char* what;
        std::string stats;
        bool with_registry;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"no section", "", false, "main: registry section is off"},
        {"stats not JSON", "{\"uuid\": ", true, "main: [json.exception.parse_error"},
        {"stats not an object", "[1]", true, "main: [json.exception.type_error"},
        {"uuid not a string", R"({"uuid": 5})", true, "main: [json.exception.type_error"},
    };
    for (const auto& c : cases) {
        start_role(c.stats, c.with_registry, false);
        EXPECT_EQ(wait_exit(), 99) << c.what;
        EXPECT_THAT(log(), testing::Contains(StartsWith(c.logged))) << c.what;
        ::unlink(dir.file("stats.json").c_str());
        ::unlink(dir.file("log").c_str());
    }
}

}  // namespace
