// The route token's payload parser and the rule that routes by the token.
#include <gtest/gtest.h>

#include "rule_fixture.hpp"
#include "rules/route-token-parser.hpp"

namespace {

using namespace rules_test;
using nlohmann::json;

struct ParseCase {
    const char* name;
    std::string payload;
    bool ok;
    std::string result;  // the path when ok, else the error text ("*" any library message)
};

class TokenPayload : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TokenPayload, PicksTheNodeForTheRoot) {
    const auto& c = GetParam();
    RouteTokenParser parser("mav");
    EXPECT_EQ(parser.name, "RouteTokenParser");
    EXPECT_EQ(parser.parse(c.payload), c.ok) << parser.error;
    if (c.ok) {
        EXPECT_EQ(parser.get(), c.result);
        EXPECT_EQ(parser.get(), c.result);
    } else if (c.result == "*") {
        EXPECT_FALSE(parser.error.empty());
    } else {
        EXPECT_EQ(parser.error, c.result);
    }
}

std::string routes(const json& route) { return json({{"routes", {{"mav", route}}}}).dump(); }

INSTANTIATE_TEST_SUITE_P(
    Payloads, TokenPayload,
    ::testing::Values(
        ParseCase{"Master", routes({{"masterNode", {{"nodePath", "A.B"}}}}), true, "a.b"},
        ParseCase{"MasterNormal", routes({{"masterNode", {{"type", "NORMAL"}, {"nodePath", "a"}}}, {"slaveNode", {{"nodePath", "b"}}}}), true, "a"},
        ParseCase{"MasterRepairTakesSlave", routes({{"masterNode", {{"type", "repair"}, {"nodePath", "a"}}}, {"slaveNode", {{"nodePath", "b"}}}}), true, "b"},
        ParseCase{"OnlySlave", routes({{"slaveNode", {{"nodePath", "S.1"}}}}), true, "s.1"},
        ParseCase{"MasterRepairNoSlave", routes({{"masterNode", {{"type", "REPAIR"}, {"nodePath", "a"}}}}), false, "nodes not found"},
        ParseCase{"NoNodes", routes(json::object()), false, "nodes not found"},
        ParseCase{"NoRouteForRoot", json({{"routes", {{"other", {{"masterNode", {{"nodePath", "a"}}}}}}}}).dump(), false, "contour not found"},
        ParseCase{"RootIsCaseSensitive", json({{"routes", {{"MAV", {{"masterNode", {{"nodePath", "a"}}}}}}}}).dump(), false, "contour not found"},
        ParseCase{"NullRoute", routes(nullptr), false, "contour not found"},
        ParseCase{"NoRoutes", R"({"x":1})", false, "contour not found"},
        ParseCase{"Empty", "", false, "route token is empty"},
        // A node without "nodePath" is refused instead of being read.
        ParseCase{"MasterWithoutPath", routes({{"masterNode", {{"type", "NORMAL"}}}}), false, "node path not found"},
        ParseCase{"SlaveWithoutPath", routes({{"masterNode", {{"type", "REPAIR"}, {"nodePath", "a"}}}, {"slaveNode", json::object()}}), false, "node path not found"},
        ParseCase{"RouteIsString", routes("x"), false, "*"},
        ParseCase{"MasterIsString", routes({{"masterNode", "x"}}), false, "*"},
        ParseCase{"SlaveIsString", routes({{"slaveNode", "x"}}), false, "*"},
        ParseCase{"PathIsNumber", routes({{"masterNode", {{"nodePath", 5}}}}), false, "*"},
        ParseCase{"TypeIsNumber", routes({{"masterNode", {{"type", 1}, {"nodePath", "a"}}}}), false, "*"},
        ParseCase{"DocumentIsArray", "[1]", false, "*"},
        ParseCase{"RoutesIsArray", R"({"routes":[1]})", false, "*"},
        ParseCase{"NotJson", "{", false, "*"},
        ParseCase{"TrailingBytes", routes({{"masterNode", {{"nodePath", "a"}}}}) + "x", false, "*"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenPayload, KeyIsOneVerbatimMemberName) {
    RouteTokenParser parser("a/b~c");
    const auto payload = json({{"routes", {{"a/b~c", {{"masterNode", {{"nodePath", "X"}}}}}}}}).dump();
    ASSERT_TRUE(parser.parse(payload)) << parser.error;
    EXPECT_EQ(parser.get(), "x");
}

TEST(TokenPayload, FailedParseKeepsThePreviousPath) {
    RouteTokenParser parser("mav");
    ASSERT_TRUE(parser.parse(routes({{"masterNode", {{"nodePath", "a"}}}})));
    EXPECT_FALSE(parser.parse(routes({{"masterNode", {{"nodePath", 5}}}})));
    EXPECT_FALSE(parser.parse(routes({{"masterNode", {{"type", "x"}}}})));
    EXPECT_EQ(parser.get(), "a");
}

std::string b64(std::string_view in) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int n = 0;
    for (unsigned char ch : in) {
        bits = (bits << 8) | ch;
        n += 8;
        while (n >= 6) out += k[(bits >> (n -= 6)) & 63];
    }
    if (n) out += k[(bits << (6 - n)) & 63];
    return out;
}

std::string token(const json& route, std::string_view header = R"({"alg":"none","typ":"JWT"})") {
    return b64(header) + "." + b64(routes(route)) + ".";
}

struct RouteCase {
    const char* name;
    json config;
    Fields fields;
    bool snapshot;
    Result::Type type;
    unsigned status;
    json body;
};

class VexRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(VexRoute, Answers) {
    const auto& c = GetParam();
    FakeOwner owner;
    owner.rules["VexRoute"] = c.config;
    if (c.snapshot) owner.topology = make_snapshot();
    VexRouteRule rule(owner);
    auto fields = make_fields(c.fields);
    const auto r = rule.get_route({"conn", fields, "/r?x=1"});
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(static_cast<unsigned>(r.status), c.status);
    EXPECT_EQ(r.get_json(), c.body) << r.get_json().dump();
}

const json kOn = {{"enabled", true}, {"hash", json::array()}, {"routing", json::object()}};
const json kSlave = {{"enabled", true}, {"actionIfRepair", "slave"}};
const json kToRep = {{"masterNode", {{"nodePath", "MAV.REP"}}}};

json refused(const std::string& text) { return {{"error", text}, {"rule", "VexRoute"}}; }
json routed(const char* path, const char* alias) {
    std::string cluster = std::string("@") + path;
    for (auto& ch : cluster) ch = ch == '.' ? '_' : ch;
    return {{"alias", alias}, {"cluster", cluster}, {"rule", "VexRoute"}, {"url", "/r?x=1"}};
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, VexRoute,
    ::testing::Values(
        RouteCase{"Disabled", {{"enabled", false}}, {{"VEX-ROUTE", token(kToRep)}}, true, Result::Skip, 204, nullptr},
        RouteCase{"NoField", kOn, {}, true, Result::Skip, 204, nullptr},
        RouteCase{"TwoFields", kOn, {{"VEX-ROUTE", token(kToRep)}, {"VEX-ROUTE", token(kToRep)}}, true, Result::Skip, 204, nullptr},
        RouteCase{"TwoParts", kOn, {{"VEX-ROUTE", "abc.def"}}, true, Result::Skip, 204, nullptr},
        RouteCase{"Hs256", kOn, {{"VEX-ROUTE", token(kToRep, R"({"alg":"HS256"})")}}, true, Result::Skip, 204, nullptr},
        RouteCase{"Routes", kOn, {{"VEX-ROUTE", token({{"masterNode", {{"nodePath", "MAV.A.B"}}}})}}, true, Result::Route, 200, routed("mav.a.b", "a.b")},
        RouteCase{"RepairKeptWithoutAction", kOn, {{"VEX-ROUTE", token(kToRep)}}, true, Result::Route, 200, routed("mav.rep", "rep")},
        RouteCase{"RepairKeptWithOtherCase", {{"enabled", true}, {"actionIfRepair", "Slave"}}, {{"VEX-ROUTE", token(kToRep)}}, true, Result::Route, 200, routed("mav.rep", "rep")},
        RouteCase{"RepairToReserve", kSlave, {{"VEX-ROUTE", token(kToRep)}}, true, Result::Route, 200, routed("mav.rep.r", "rep.r")},
        RouteCase{"NormalWithAction", kSlave, {{"VEX-ROUTE", token({{"masterNode", {{"nodePath", "a.b"}}}})}}, true, Result::Route, 200, routed("mav.a.b", "a.b")},
        RouteCase{"ReserveMissing", kSlave, {{"VEX-ROUTE", token({{"masterNode", {{"nodePath", "mav.lost"}}}})}}, true, Result::Error, 404, refused("reserve contour 'mav.gone' not foud")},
        RouteCase{"NodeMissing", kOn, {{"VEX-ROUTE", token({{"masterNode", {{"nodePath", "MAV.NONE"}}}})}}, true, Result::Error, 404, refused("contour 'mav.none' not found in topology")},
        RouteCase{"NoSnapshot", kOn, {{"VEX-ROUTE", token(kToRep)}}, false, Result::Error, 404, refused("topology not loaded")},
        RouteCase{"PayloadWithoutRoot", kOn, {{"VEX-ROUTE", b64(R"({"alg":"none"})") + "." + b64(R"({"routes":{}})") + ".x"}}, true, Result::Error, 404, refused("unsupported route token playload format")},
        RouteCase{"PayloadNodeWithoutPath", kOn, {{"VEX-ROUTE", token({{"masterNode", json::object()}})}}, true, Result::Error, 404, refused("unsupported route token playload format")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VexRoute, ActionOfTheWrongTypeReachesTheChainDriver) {
    FakeOwner owner;
    owner.rules["VexRoute"] = {{"enabled", true}, {"actionIfRepair", 1}};
    owner.topology = make_snapshot();
    VexRouteRule rule(owner);
    auto fields = make_fields({{"VEX-ROUTE", token(kToRep)}});
    EXPECT_THROW(rule.get_route({"conn", fields, "/"}), nlohmann::json::type_error);
}

}  // namespace
