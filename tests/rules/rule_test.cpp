// What every rule shares: its settings, the field helpers, the renaming of field names, the
// answer builder, the statistics and the answer body.
#include <gtest/gtest.h>

#include "rule_fixture.hpp"

namespace {

using namespace rules_test;
using nlohmann::json;

Fields list_of(const boost::beast::http::fields& f) {
    Fields out;
    for (const auto& field : f)
        out.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return out;
}

struct FixupCase {
    const char* name;
    Fields in;
    Fields out;  // in list order
};

class HeadersFixup : public ::testing::TestWithParam<FixupCase> {};

TEST_P(HeadersFixup, RenamesUnderscores) {
    auto fields = make_fields(GetParam().in);
    Rule::headers_fixup(fields);
    EXPECT_EQ(list_of(fields), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, HeadersFixup,
    ::testing::Values(
        FixupCase{"MovesRenamedToTheEnd", {{"X_FOO_BAR", "1"}, {"Host", "h"}}, {{"Host", "h"}, {"X-FOO-BAR", "1"}}},
        FixupCase{"FirstOfSameNameSurvives", {{"A_B", "1"}, {"a_b", "2"}}, {{"A-B", "1"}}},
        FixupCase{"ExistingNameGivesTwo", {{"X-A", "1"}, {"X_A", "2"}}, {{"X-A", "1"}, {"X-A", "2"}}},
        FixupCase{"NoUnderscoreUnchanged", {{"b", "1"}, {"A", "2"}, {"c", "3"}}, {{"b", "1"}, {"A", "2"}, {"c", "3"}}},
        FixupCase{"ValuesUntouched", {{"k_1", "a_b c"}, {"k_2", ""}}, {{"k-1", "a_b c"}, {"k-2", ""}}},
        FixupCase{"OnlyUnderscores", {{"__", "x"}}, {{"--", "x"}}},
        FixupCase{"Empty", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeadersFixup, SingleHeaderIsFalseForADoubledName) {
    FakeOwner owner;
    ErrorRule rule(owner);
    auto fields = make_fields({{"X-A", "1"}, {"X_A", "2"}, {"vex_tenant", "t"}});
    Rule::headers_fixup(fields);
    const Rule::Request request{"conn", fields, "/"};
    EXPECT_FALSE(rule.has_single_header("X-A", request));
    EXPECT_TRUE(rule.has_single_header("VEX-TENANT", request));
    EXPECT_EQ(Rule::get_header(fields, "Vex-Tenant"), "t");
    EXPECT_EQ(Rule::get_header(fields, "none"), "");
}

TEST(RuleBase, SettingsAndFindPath) {
    FakeOwner owner;
    owner.rules["VexForceNode"] = {
        {"enabled", true}, {"routing", {{"foo", "mav.a"}, {"n", 5}, {"o", {{"x", "y"}}}}}};
    owner.rules["VexGoNode"] = {{"enabled", true}, {"routing", "notanobject"}};
    owner.rules["VexTenant"] = "notanobject";
    VexForceNodeRule force(owner);
    VexGoNodeRule go(owner);
    VexTenantRule tenant(owner);
    VexOperationIdRule unconfigured(owner);

    EXPECT_TRUE(force.is_enabled());
    EXPECT_TRUE(go.is_enabled());
    EXPECT_FALSE(tenant.is_enabled());
    EXPECT_FALSE(unconfigured.is_enabled());

    EXPECT_EQ(force.find_path("foo"), std::optional<std::string_view>("mav.a"));
    EXPECT_FALSE(force.find_path("Foo"));
    EXPECT_FALSE(force.find_path("n"));
    EXPECT_FALSE(force.find_path("o"));
    EXPECT_FALSE(force.find_path(""));
    EXPECT_FALSE(go.find_path("foo"));
    EXPECT_FALSE(tenant.find_path("foo"));
    EXPECT_FALSE(unconfigured.find_path("foo"));
}

TEST(RuleBase, OutcomeCarriesRuleAliasAndCounts) {
    FakeOwner owner;
    VexForceNodeRule rule(owner);

    auto route = rule._(Result::Route, "mav.a.b/7", boost::beast::http::status::not_found);
    EXPECT_EQ(route.status, boost::beast::http::status::ok);
    EXPECT_EQ(route.get_json(), json({{"alias", "a.b/7"}, {"cluster", "@mav_a_b_7"}, {"rule", "VexForceNode"}}));

    auto outside = rule._(Result::Route, "other.x", boost::beast::http::status::ok);
    EXPECT_EQ(outside.get_json()["alias"], "");

    auto error = rule._(Result::Error, "boom", boost::beast::http::status::forbidden);
    EXPECT_EQ(error.status, boost::beast::http::status::forbidden);
    EXPECT_EQ(error.get_json(), json({{"error", "boom"}, {"rule", "VexForceNode"}}));

    auto skip = rule._(Result::Skip, "", boost::beast::http::status::ok);
    EXPECT_TRUE(skip.get_json().is_null());
    EXPECT_EQ(skip.json["rule"], "VexForceNode");

    EXPECT_EQ(rule.success.load(), 2u);
    EXPECT_EQ(rule.failed.load(), 1u);
    Result plain(Result::Skip);
    EXPECT_EQ(rule.success.load() + rule.failed.load(), 3u);
}

TEST(RuleBase, Stats) {
    FakeOwner owner;
    owner.rules["VexGoNode"] = {{"enabled", true}, {"hash", json::array()}, {"routing", json::object()}};
    VexGoNodeRule configured(owner);
    VexForceNodeRule unconfigured(owner);
    configured._(Result::Error, "x", boost::beast::http::status::not_found);
    configured._(Result::Route, "mav.a", boost::beast::http::status::ok);
    configured._(Result::Route, "mav.a", boost::beast::http::status::ok);

    const auto stats = configured.get_stats();
    EXPECT_EQ(stats, json({{"name", "VexGoNode"},
                           {"config", owner.rules["VexGoNode"]},
                           {"success", 2u},
                           {"failed", 1u}}));
    EXPECT_TRUE(stats["success"].is_number_unsigned());
    EXPECT_EQ(unconfigured.get_stats()["config"], json::object());
}

TEST(RuleBase, AnswerWithInvalidUtf8IsStillSent) {
    // A field value echoed into an error text, and a raw target in a route.
    FakeOwner owner;
    owner.topology = make_snapshot();
    owner.rules["VexForceNode"] = {{"enabled", true}};
    VexForceNodeRule rule(owner);

    auto fields = make_fields({{"VEX-FORCE-NODE", "bad\xff\xfe"}});
    auto refused = rule.get_route({"conn", fields, "/"});
    ASSERT_EQ(refused.type, Result::Error);
    EXPECT_THROW(refused.get_json().dump(), nlohmann::json::type_error);
    const auto body = Rule::dump_answer(refused);
    EXPECT_EQ(json::parse(body), json({{"error", "contour 'bad\xEF\xBF\xBD\xEF\xBF\xBD' not found in topology"},
                                       {"rule", "VexForceNode"}}));

    auto good = make_fields({{"VEX-FORCE-NODE", "mav.a.b"}});
    auto routed = rule.get_route({"conn", good, "/p\xc3"});
    ASSERT_EQ(routed.type, Result::Route);
    EXPECT_EQ(json::parse(Rule::dump_answer(routed))["url"], "/p\xEF\xBF\xBD");
    // Compact, members in byte order.
    auto plain = rule.get_route({"conn", good, "/p"});
    EXPECT_EQ(Rule::dump_answer(plain),
              R"({"alias":"a.b","cluster":"@mav_a_b","rule":"VexForceNode","url":"/p"})");
    EXPECT_EQ(Rule::dump_answer(Result(Result::Skip)), "null");
}

TEST(RuleBase, AnswerTextIsTheJsonWritersByteForByte) {
    // Plain text is written directly, anything the writer escapes or checks goes through it:
    // both must give the same bytes.
    for (const std::string text : {"", "plain text", "del\x7f", "quote \" here", "back\\slash",
                                   "tab\there", "nl\n", "ctl\x01", "caf\xc3\xa9", "bad\xff"}) {
        SCOPED_TRACE(text);
        const Result refused(Result::Error, text, boost::beast::http::status::forbidden);
        EXPECT_EQ(Rule::dump_answer(refused),
                  refused.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    Result routed(Result::Route, "mav.a.b", boost::beast::http::status::ok);
    routed.json["weight"] = 3;  // not a string: the writer's
    EXPECT_EQ(Rule::dump_answer(routed), R"({"cluster":"@mav_a_b","weight":3})");
}

}  // namespace
