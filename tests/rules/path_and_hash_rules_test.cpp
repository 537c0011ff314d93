// Every rule of the chain over one fixture snapshot: which requests it skips, answers and
// refuses, with the exact answer bodies the proxies read.
#include <gtest/gtest.h>

#include "rule_fixture.hpp"

namespace {

using namespace rules_test;
using nlohmann::json;

json routed(const char* rule, const char* path, const char* alias, const char* url) {
    std::string cluster = std::string("@") + path;
    for (auto& ch : cluster) ch = (ch == '.' || ch == '/') ? '_' : ch;
    return {{"alias", alias}, {"cluster", cluster}, {"rule", rule}, {"url", url}};
}
json refused(const char* rule, const std::string& text) { return {{"error", text}, {"rule", rule}}; }

struct Case {
    const char* name;
    const char* rule;
    json config;  // the rule's settings as the router section stores them
    Fields fields;
    std::string target;
    bool snapshot;
    Result::Type type;
    unsigned status;
    json body;  // null for Skip
};

const json kOn = {{"enabled", true}, {"routing", json::object()}, {"hash", json::array()}};
const json kCompat = {{"enabled", true},
                      {"routing",
                       {{"k", "mav.a.b"},
                        {"abc", "MAV.REP"},
                        {"gone", "mav.nothere"},
                        {"lost", "mav.lost"},
                        {"num", 5}}}};
const json kZebHost = {{"enabled", true},
                       {"routing",
                        {{"api", "mav.c1"},
                         {"api-west", "c2"},
                         {"a-very-long-name", "mav.c2"},
                         {"b", "mav.c1"},
                         {"svc", "MAV.C2"},
                         {"gone", "mav.none"}}},
                       {"hash", {"A", "B"}}};
const json kApix = {{"enabled", true},
                    {"routing", {{"api", "mav.c1"}, {"apix", "mav.c1"}}},
                    {"hash", {"A"}}};
const json kAlias = {{"enabled", true},
                     {"routing", {{"svc", "mav.c1"}, {"none", "mav.none"}}},
                     {"hash", json::array()}};
const json kTenant = {{"enabled", true},
                      {"routing", {{"t1", "mav.c1"}, {"t0", "c0"}}},
                      {"hash", json::array()}};
const Fields kTenantPair = {{"VEX-TENANT", "t1"}, {"VEX-SUBSYSTEMCODE", "s1"}};

class RuleTable : public ::testing::TestWithParam<Case> {};

TEST_P(RuleTable, Answers) {
    const auto& c = GetParam();
    FakeOwner owner;
    if (!c.config.is_null()) owner.rules[c.rule] = c.config;
    if (c.snapshot) owner.topology = make_snapshot();
    auto rule = make_rule(c.rule, owner);
    ASSERT_TRUE(rule);
    auto fields = make_fields(c.fields);
    const Rule::Request request{"conn", fields, c.target};

    const Result r = rule->get_route(request);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(static_cast<unsigned>(r.status), c.status);
    EXPECT_EQ(r.get_json(), c.body) << r.get_json().dump();
    EXPECT_EQ(rule->success.load(), c.type == Result::Route ? 1u : 0u);
    EXPECT_EQ(rule->failed.load(), c.type == Result::Error ? 1u : 0u);
}

constexpr auto Skip = Result::Skip;
constexpr auto Route = Result::Route;
constexpr auto Error = Result::Error;

INSTANTIATE_TEST_SUITE_P(
    PathRules, RuleTable,
    ::testing::Values(
        // VexForceNode: any mode, full path or alias, case ignored.
        Case{"ForceUnconfigured", "VexForceNode", nullptr, {{"VEX-FORCE-NODE", "mav.a.b"}}, "/", true, Skip, 204, nullptr},
        Case{"ForceDisabled", "VexForceNode", {{"enabled", false}}, {{"VEX-FORCE-NODE", "mav.a.b"}}, "/", true, Skip, 204, nullptr},
        Case{"ForceEnabledNotBoolean", "VexForceNode", {{"enabled", "true"}}, {{"VEX-FORCE-NODE", "mav.a.b"}}, "/", true, Skip, 204, nullptr},
        Case{"ForceNoField", "VexForceNode", kOn, {}, "/", true, Skip, 204, nullptr},
        Case{"ForceTwice", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "mav.a.b"}, {"vex-force-node", "mav.a.b"}}, "/", true, Skip, 204, nullptr},
        Case{"ForceFullPath", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "MAV.A.B"}}, "/x/y?z=1", true, Route, 200, routed("VexForceNode", "mav.a.b", "a.b", "/x/y?z=1")},
        Case{"ForceAlias", "VexForceNode", kOn, {{"vex-force-node", "A.B"}}, "/x", true, Route, 200, routed("VexForceNode", "mav.a.b", "a.b", "/x")},
        Case{"ForceRepair", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "mav.rep"}}, "/", true, Route, 200, routed("VexForceNode", "mav.rep", "rep", "/")},
        Case{"ForceOutsideRoot", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "other.x"}}, "/", true, Route, 200, routed("VexForceNode", "other.x", "", "/")},
        Case{"ForceEmptyTarget", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "mav.a.b"}}, "", true, Route, 200, routed("VexForceNode", "mav.a.b", "a.b", "")},
        Case{"ForceMissing", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "MAV.NONE"}}, "/", true, Error, 404, refused("VexForceNode", "contour 'MAV.NONE' not found in topology")},
        Case{"ForceEmptyValue", "VexForceNode", kOn, {{"VEX-FORCE-NODE", ""}}, "/", true, Error, 404, refused("VexForceNode", "contour '' not found in topology")},
        Case{"ForceNoSnapshot", "VexForceNode", kOn, {{"VEX-FORCE-NODE", "mav.a.b"}}, "/", false, Error, 404, refused("VexForceNode", "topology not loaded")},
        // VexGoNode: a node in REPAIR is refused with 403.
        Case{"GoNormal", "VexGoNode", kOn, {{"VEX-GO-NODE", "a.b"}}, "/q", true, Route, 200, routed("VexGoNode", "mav.a.b", "a.b", "/q")},
        Case{"GoRepair", "VexGoNode", kOn, {{"VEX-GO-NODE", "MAV.Rep"}}, "/", true, Error, 403, refused("VexGoNode", "contour 'MAV.Rep' in REPAIR state")},
        Case{"GoMissing", "VexGoNode", kOn, {{"VEX-GO-NODE", "x"}}, "/", true, Error, 404, refused("VexGoNode", "contour 'x' not found in topology")},
        Case{"GoNoSnapshot", "VexGoNode", kOn, {{"VEX-GO-NODE", "x"}}, "/", false, Error, 404, refused("VexGoNode", "topology not loaded")},
        Case{"GoTwice", "VexGoNode", kOn, {{"VEX-GO-NODE", "a.b"}, {"VEX-GO-NODE", "a.b"}}, "/", true, Skip, 204, nullptr},
        // VexOperationId: one step to the reserve node.
        Case{"OpNormal", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "mav.a.b"}}, "/o", true, Route, 200, routed("VexOperationId", "mav.a.b", "a.b", "/o")},
        Case{"OpRepairToReserve", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "rep"}}, "/o", true, Route, 200, routed("VexOperationId", "mav.rep.r", "rep.r", "/o")},
        Case{"OpReserveInRepair", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "mav.rep2"}}, "/o", true, Route, 200, routed("VexOperationId", "mav.rep", "rep", "/o")},
        Case{"OpReserveMissing", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "mav.lost"}}, "/", true, Error, 404, refused("VexOperationId", "reserve contour 'mav.gone' not found")},
        Case{"OpNoReserve", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "mav.bare"}}, "/", true, Error, 404, refused("VexOperationId", "reserve contour '' not found")},
        Case{"OpMissing", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "Nope"}}, "/", true, Error, 404, refused("VexOperationId", "contour 'Nope' not found")},
        Case{"OpNoSnapshot", "VexOperationId", kOn, {{"VEX-OPERATION-ID", "Nope"}}, "/", false, Error, 404, refused("VexOperationId", "topology not loaded")},
        // Compat_19.4: routing table first, then the snapshot.
        Case{"CompatRoutes", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "k"}}, "/c", true, Route, 200, routed("Compat_19.4", "mav.a.b", "a.b", "/c")},
        Case{"CompatRepairToReserve", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "abc"}}, "/c", true, Route, 200, routed("Compat_19.4", "mav.rep.r", "rep.r", "/c")},
        Case{"CompatNotInTableNoSnapshot", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "zzz"}}, "/", false, Error, 404, refused("Compat_19.4", "contour not found in routing table")},
        Case{"CompatKeyCaseMatters", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "K"}}, "/", true, Error, 404, refused("Compat_19.4", "contour not found in routing table")},
        Case{"CompatValueNotString", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "num"}}, "/", true, Error, 404, refused("Compat_19.4", "contour not found in routing table")},
        Case{"CompatNoSnapshot", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "k"}}, "/", false, Error, 404, refused("Compat_19.4", "topology not loaded")},
        Case{"CompatNodeMissing", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "gone"}}, "/", true, Error, 404, refused("Compat_19.4", "contour 'mav.nothere' not found")},
        Case{"CompatReserveMissing", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "lost"}}, "/", true, Error, 404, refused("Compat_19.4", "reserve contour 'mav.gone' not found")},
        Case{"CompatOneTenantSkips", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "k"}, {"VEX-TENANT", "t"}}, "/", true, Skip, 204, nullptr},
        Case{"CompatTwoTenantsRoute", "Compat_19.4", kCompat, {{"VEX-SRC-FIELD", "k"}, {"VEX-TENANT", "t"}, {"VEX-TENANT", "u"}}, "/", true, Route, 200, routed("Compat_19.4", "mav.a.b", "a.b", "/")},
        // NoRoute_Error404: always enabled, always refuses.
        Case{"ErrorUnconfigured", "NoRoute_Error404", nullptr, {}, "/", false, Error, 404, refused("NoRoute_Error404", "route not found")},
        Case{"ErrorDisabledStillAnswers", "NoRoute_Error404", {{"enabled", false}}, {}, "/", true, Error, 404, refused("NoRoute_Error404", "route not found")}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    HashRules, RuleTable,
    ::testing::Values(
        // ZebHost: the first prefix in key order decides; "." or "-" must follow it.
        Case{"HostPrefixDecides", "ZebHost", kZebHost, {{"X-Zeb-Host", "API-WEST.Example"}, {"VEX-TENANT", "t"}, {"A", "1"}}, "/h?q", true, Route, 200, routed("ZebHost", "mav.n1", "n1", "/h?q")},
        Case{"HostEqualToPrefixSkips", "ZebHost", kZebHost, {{"X-Zeb-Host", "api"}, {"VEX-TENANT", "t"}, {"A", "1"}}, "/", true, Skip, 204, nullptr},
        Case{"HostOtherCharacterSkips", "ZebHost", kApix, {{"X-Zeb-Host", "apix.example"}, {"VEX-TENANT", "t"}, {"A", "1"}}, "/", true, Skip, 204, nullptr},
        Case{"HostLongerMemberPassedOver", "ZebHost", kZebHost, {{"X-Zeb-Host", "b-1"}, {"VEX-TENANT", "t"}, {"A", "1"}}, "/", true, Route, 200, routed("ZebHost", "mav.n1", "n1", "/")},
        Case{"HostNoTenantSkips", "ZebHost", kZebHost, {{"X-Zeb-Host", "api.x"}, {"A", "1"}}, "/", true, Skip, 204, nullptr},
        Case{"HostTwoHostsSkip", "ZebHost", kZebHost, {{"X-Zeb-Host", "api.x"}, {"X-Zeb-Host", "api.y"}, {"VEX-TENANT", "t"}}, "/", true, Skip, 204, nullptr},
        Case{"HostUnknownSkips", "ZebHost", kZebHost, {{"X-Zeb-Host", "zzz.x"}, {"VEX-TENANT", "t"}}, "/", true, Skip, 204, nullptr},
        Case{"HostClusterMissing", "ZebHost", kZebHost, {{"X-Zeb-Host", "gone.x"}, {"VEX-TENANT", "t"}, {"A", "1"}, {"B", "2"}}, "/", true, Error, 404, refused("ZebHost", "contour key '12' not found in 'mav.none' cluster")},
        Case{"HostEmptyKey", "ZebHost", kZebHost, {{"X-Zeb-Host", "svc.x"}, {"VEX-TENANT", "t"}}, "/", true, Error, 404, refused("ZebHost", "contour key '' not found in 'MAV.C2' cluster")},
        Case{"HostNoSnapshot", "ZebHost", kZebHost, {{"X-Zeb-Host", "api.x"}, {"VEX-TENANT", "t"}}, "/", false, Error, 404, refused("ZebHost", "topology not loaded")},
        // ZebNodeAlias: the first path segment names the cluster; the url drops it.
        Case{"AliasRoutes", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "/svc/a?x=1", true, Route, 200, routed("ZebNodeAlias", "mav.n1", "n1", "/a?x=1")},
        Case{"AliasWholeTarget", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "/svc", true, Route, 200, routed("ZebNodeAlias", "mav.n1", "n1", "")},
        Case{"AliasTrailingSlash", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "/svc/", true, Route, 200, routed("ZebNodeAlias", "mav.n1", "n1", "/")},
        Case{"AliasQueryInFirstPiece", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "/svc?x=1", true, Skip, 204, nullptr},
        Case{"AliasEmptyTarget", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "", true, Skip, 204, nullptr},
        Case{"AliasSlashOnly", "ZebNodeAlias", kAlias, {{"VEX-CLIENT-IP", "10.0.0.1"}}, "/", true, Skip, 204, nullptr},
        Case{"AliasNoKey", "ZebNodeAlias", kAlias, {}, "/svc/a", true, Error, 404, refused("ZebNodeAlias", "not enough header(s) for hash-key")},
        Case{"AliasNoSnapshotFirst", "ZebNodeAlias", kAlias, {}, "/svc/a", false, Error, 404, refused("ZebNodeAlias", "topology not loaded")},
        Case{"AliasClusterMissing", "ZebNodeAlias", kAlias, {{"X-FORWARDED-FOR", "10.0.0.1, 10.0.0.2"}}, "/none/a", true, Error, 404, refused("ZebNodeAlias", "contour key '10.0.0.1' not found in 'mav.none' cluster")},
        Case{"AliasDisabled", "ZebNodeAlias", {{"enabled", false}, {"routing", {{"svc", "mav.c1"}}}}, {{"VEX-CLIENT-IP", "1"}}, "/svc/a", true, Skip, 204, nullptr},
        // VexTenant: tenant through the routing table, key tenant + subsystem code.
        Case{"TenantRoutes", "VexTenant", kTenant, kTenantPair, "/t?x", true, Route, 200, routed("VexTenant", "mav.n1", "n1", "/t?x")},
        Case{"TenantNotInTable", "VexTenant", kTenant, {{"VEX-TENANT", "tX"}, {"VEX-SUBSYSTEMCODE", "s1"}}, "/", false, Error, 404, refused("VexTenant", "cluster 'tX' not found in routing table")},
        Case{"TenantNoSnapshot", "VexTenant", kTenant, kTenantPair, "/", false, Error, 404, refused("VexTenant", "topology not loaded")},
        Case{"TenantUnhashable", "VexTenant", kTenant, {{"VEX-TENANT", "t0"}, {"VEX-SUBSYSTEMCODE", "s1"}}, "/", true, Error, 404, refused("VexTenant", "contour key 't0s1' not found in 'c0' cluster")},
        Case{"TenantWithoutCode", "VexTenant", kTenant, {{"VEX-TENANT", "t1"}}, "/", true, Skip, 204, nullptr},
        Case{"TenantTwice", "VexTenant", kTenant, {{"VEX-TENANT", "t1"}, {"VEX-TENANT", "t1"}, {"VEX-SUBSYSTEMCODE", "s1"}}, "/", true, Skip, 204, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
    const char* name;
    json hash;
    Fields fields;
    std::optional<std::string> zeb_host;    // ZebHost with "hash" = `hash`
    std::optional<std::string> node_alias;  // ZebNodeAlias
};

class HashKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(HashKeys, AreComposedFromFields) {
    const auto& c = GetParam();
    FakeOwner owner;
    owner.rules["ZebHost"] = {{"enabled", true}, {"routing", json::object()}, {"hash", c.hash}};
    owner.rules["ZebNodeAlias"] = kAlias;
    ZebHostRule host(owner);
    ZebNodeAliasRule alias(owner);
    auto fields = make_fields(c.fields);
    const Rule::Request request{"conn", fields, "/"};
    auto h = host.get_hash_key(request);
    ASSERT_TRUE(h);
    EXPECT_EQ(*h, *c.zeb_host);
    auto a = alias.get_hash_key(request);
    EXPECT_EQ(a.has_value(), c.node_alias.has_value());
    if (a && c.node_alias) {
        EXPECT_EQ(*a, *c.node_alias);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HashKeys,
    ::testing::Values(
        KeyCase{"BothListed", {"A", "B"}, {{"A", "1"}, {"B", "2"}}, "12", std::nullopt},
        KeyCase{"RepeatedAddsNothing", {"A", "B"}, {{"A", "1"}, {"B", "2"}, {"b", "3"}}, "1", std::nullopt},
        KeyCase{"NoneGiven", {"A", "B"}, {}, "", std::nullopt},
        KeyCase{"SingleString", "A", {{"A", "1"}, {"B", "2"}}, "1", std::nullopt},
        KeyCase{"ObjectValuesInKeyOrder", {{"x", "B"}, {"y", "A"}}, {{"A", "1"}, {"B", "2"}}, "21", std::nullopt},
        KeyCase{"NonStringsIgnored", {1, "A", nullptr}, {{"A", "1"}}, "1", std::nullopt},
        KeyCase{"SubsystemThenTenant", json::array(), kTenantPair, "", "s1t1"},
        KeyCase{"TenantAlone", json::array(), {{"VEX-TENANT", "t1"}, {"VEX-CLIENT-IP", "9"}}, "", "t1"},
        KeyCase{"CodeAlone", json::array(), {{"VEX-SUBSYSTEMCODE", "s1"}}, "", "s1"},
        KeyCase{"RepeatedTenantTakesFirst", json::array(), {{"VEX-TENANT", "t1"}, {"VEX-TENANT", "t2"}, {"VEX-SUBSYSTEMCODE", "s1"}}, "", "s1t1"},
        KeyCase{"ClientIp", json::array(), {{"VEX-CLIENT-IP", "10.1.1.1"}, {"X-FORWARDED-FOR", "9.9.9.9"}}, "", "10.1.1.1"},
        KeyCase{"FirstForwarded", json::array(), {{"X-FORWARDED-FOR", "10.0.0.1, 10.0.0.2"}}, "", "10.0.0.1"},
        KeyCase{"ForwardedNotTrimmed", json::array(), {{"X-FORWARDED-FOR", "10.0.0.1 , 10.0.0.2"}}, "", "10.0.0.1 "},
        KeyCase{"ForwardedTwiceNone", json::array(), {{"X-FORWARDED-FOR", "1"}, {"X-FORWARDED-FOR", "2"}}, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HashRules, TenantRuleKeyIsTenantThenCode) {
    FakeOwner owner;
    owner.rules["VexTenant"] = kTenant;
    VexTenantRule rule(owner);
    auto fields = make_fields(kTenantPair);
    EXPECT_EQ(rule.get_hash_key({"conn", fields, "/"}), "t1s1");
}

TEST(HashRules, SameKeySameNodeInATwoNodeCluster) {
    FakeOwner owner;
    owner.topology = make_snapshot();
    owner.rules["VexTenant"] = {{"enabled", true}, {"routing", {{"t1", "c2"}}}, {"hash", json::array()}};
    VexTenantRule rule(owner);
    auto fields = make_fields(kTenantPair);
    const Rule::Request request{"conn", fields, "/"};
    const auto expected = owner.topology->get_by_hash("c2", "t1s1");
    ASSERT_TRUE(expected);
    for (int i = 0; i < 3; ++i) {
        auto r = rule.get_route(request);
        ASSERT_EQ(r.type, Result::Route);
        EXPECT_EQ(r.json["alias"], std::string(*expected).substr(4));
    }
}

TEST(HashRules, ZebHostConfigurationErrorsReachTheChainDriver) {
    FakeOwner owner;
    owner.topology = make_snapshot();
    owner.rules["ZebHost"] = {{"enabled", true}, {"routing", {{"api", 5}}}, {"hash", json::array()}};
    ZebHostRule bad_value(owner);
    auto fields = make_fields({{"X-Zeb-Host", "api.x"}, {"VEX-TENANT", "t"}});
    const Rule::Request request{"conn", fields, "/"};
    EXPECT_THROW(bad_value.get_route(request), nlohmann::json::type_error);

    owner.rules["ZebHost"] = {{"enabled", true}};  // not completed by the router section
    ZebHostRule no_routing(owner);
    EXPECT_THROW(no_routing.get_route(request), nlohmann::json::out_of_range);
}

TEST(Chain, EveryRuleEnabledAndNothingMatchingEndsWithRouteNotFound) {
    FakeOwner owner;
    owner.topology = make_snapshot();
    for (const char* n : {"VexForceNode", "VexGoNode", "VexOperationId", "VexRoute", "ZebHost",
                          "ZebNodeAlias", "VexTenant", "Compat_19.4"})
        owner.rules[n] = kOn;
    auto chain = make_chain(owner);
    boost::beast::http::fields fields;
    const Rule::Request request{"conn", fields, ""};
    std::optional<Result> answer;
    for (const auto& rule : chain) {
        auto r = rule->get_route(request);
        if (r.type != Result::Skip) {
            answer = std::move(r);
            break;
        }
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get_json(), refused("NoRoute_Error404", "route not found"));
}

}  // namespace
