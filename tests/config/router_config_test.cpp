#include "config/router-config.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "support/test_support.hpp"

namespace {

using nlohmann::json;

// The smallest router section that loads, with `extra` merged into "router".
json doc_with(const json& extra = json::object()) {
    json doc = {{"mav_root", "mav"},
                {"router",
                 {{"topology", {{"url", "http://127.0.0.1:9700/leaf-components"}, {"filter", json::array()}}},
                  {"route_token_service", {{"url", "http://127.0.0.1:9701/token"}}}}}};
    doc["router"].merge_patch(extra);
    return doc;
}

std::string failure_of(const json& doc) {
    try {
        RouterConfig config(doc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(RouterConfig, DefaultsOfAMinimalSection) {
    RouterConfig config(doc_with());
    EXPECT_EQ(config.listen.proto & framework::Url::kHttp, framework::Url::kHttp);
    EXPECT_EQ(config.listen.proto & framework::Url::kHttps, 0u);
    EXPECT_EQ(config.listen.address, "127.0.0.1");
    EXPECT_EQ(config.listen.port, "9053");
    EXPECT_TRUE(config.listen.is_valid());
    EXPECT_EQ(config.topology_url.port, "9700");
    EXPECT_EQ(config.topology_url.path, "/leaf-components");
    EXPECT_EQ(config.route_token_url.port, "9701");
    EXPECT_EQ(config.update_period_sec, 5);
    EXPECT_TRUE(config.rules.empty());
    EXPECT_EQ(config.get_rule_config("VexRoute"), json::object());
}

TEST(RouterConfig, ListenAndPeriodAsGiven) {
    RouterConfig config(doc_with({{"listen", "http://127.0.0.1:9100"},
                                  {"topology", {{"update_period_sec", 2.9}}}}));
    EXPECT_EQ(config.listen.port, "9100");
    EXPECT_EQ(config.update_period_sec, 2);

    // Out-of-range periods are clamped, not converted out of range.
    EXPECT_EQ(RouterConfig(doc_with({{"topology", {{"update_period_sec", 1e20}}}})).update_period_sec,
              std::numeric_limits<int>::max());
    EXPECT_EQ(RouterConfig(doc_with({{"topology", {{"update_period_sec", -1e20}}}})).update_period_sec,
              std::numeric_limits<int>::min());
    EXPECT_EQ(RouterConfig(doc_with({{"topology", {{"update_period_sec", 18446744073709551615u}}}}))
                  .update_period_sec,
              std::numeric_limits<int>::max());
    EXPECT_EQ(RouterConfig(doc_with({{"topology", {{"update_period_sec", -3}}}})).update_period_sec, -3);
}

TEST(RouterConfig, RulesAreCompletedOnlyWhenEnabled) {
    RouterConfig config(doc_with({{"rules",
                                   {{"On", {{"enabled", true}}},
                                    {"OnWithTables", {{"enabled", true}, {"routing", {{"a", "b"}}}, {"hash", {"X"}}, {"actionIfRepair", "slave"}}},
                                    {"Off", {{"enabled", false}, {"routing", 5}}},
                                    {"Silent", {{"routing", "x"}, {"hash", {{"k", 1}}}}}}}}));
    EXPECT_EQ(config.get_rule_config("On"), json({{"enabled", true}, {"hash", json::array()}, {"routing", json::object()}}));
    EXPECT_EQ(config.get_rule_config("OnWithTables"),
              json({{"enabled", true}, {"routing", {{"a", "b"}}}, {"hash", {"X"}}, {"actionIfRepair", "slave"}}));
    EXPECT_EQ(config.get_rule_config("Off"), json({{"enabled", false}, {"routing", 5}}));
    EXPECT_EQ(config.get_rule_config("Silent"), json({{"routing", "x"}, {"hash", {{"k", 1}}}}));
    EXPECT_EQ(config.rules.size(), 4u);
    // The reference stays the same object for the section's life.
    EXPECT_EQ(&config.get_rule_config("On"), &config.get_rule_config("On"));
    EXPECT_EQ(config.get_rule_config("on"), json::object());
}

struct FailCase {
    const char* name;
    json doc;
    const char* text;  // a part of the exception's text
};

class RouterConfigFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(RouterConfigFailures, FailTheSection) {
    const auto text = failure_of(GetParam().doc);
    ASSERT_FALSE(text.empty()) << "section loaded";
    EXPECT_NE(text.find(GetParam().text), std::string::npos) << text;
}

json without(json doc, const char* pointer) {
    json::json_pointer p(pointer);
    doc.at(p.parent_pointer()).erase(p.back());
    return doc;
}

INSTANTIATE_TEST_SUITE_P(
    Sections, RouterConfigFailures,
    ::testing::Values(
        FailCase{"Absent", {{"mav_root", "mav"}}, "is off"},
        FailCase{"Empty", {{"router", json::object()}}, "'topology' not found"},
        FailCase{"Null", {{"router", nullptr}}, "topology"},
        FailCase{"NoTopologyUrl", without(doc_with(), "/router/topology/url"), "'url' not found"},
        FailCase{"TopologyUrlNotString", doc_with({{"topology", {{"url", 5}}}}), "type must be string"},
        FailCase{"NoFilter", without(doc_with(), "/router/topology/filter"), "'filter' not found"},
        FailCase{"ListenNotString", doc_with({{"listen", 9053}}), "type must be string"},
        FailCase{"PeriodString", doc_with({{"topology", {{"update_period_sec", "5"}}}}), "type must be number, but is string"},
        FailCase{"PeriodBoolean", doc_with({{"topology", {{"update_period_sec", true}}}}), "type must be number, but is boolean"},
        FailCase{"NoRouteTokenService", without(doc_with(), "/router/route_token_service"), "'route_token_service' not found"},
        FailCase{"RulesArray", doc_with({{"rules", {1, 2}}}), "type must be object, but is array"},
        FailCase{"RuleNumber", doc_with({{"rules", {{"Unknown", 5}}}}), "cannot use value() with number"},
        FailCase{"EnabledNotBoolean", doc_with({{"rules", {{"R", {{"enabled", "yes"}}}}}}), "type must be boolean"},
        FailCase{"EnabledRoutingString", doc_with({{"rules", {{"R", {{"enabled", true}, {"routing", "file.json"}}}}}}), "type must be object, but is string"},
        FailCase{"EnabledHashObject", doc_with({{"rules", {{"R", {{"enabled", true}, {"hash", {{"a", "b"}}}}}}}}), "type must be array, but is object"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RouterConfig, FilterFromTheDocumentOrAFileReference) {
    testsupport::TempDir dir;
    const json filter = json::array({json::object(), json::object()});

    RouterConfig inline_filter(doc_with({{"topology", {{"filter", filter}}}}));
    EXPECT_EQ(inline_filter.filter.next.size(), 2u);

    const auto file = dir.write("filter.json", json({{"f", filter}}).dump());
    RouterConfig from_file(doc_with({{"topology", {{"filter", file + ":/f"}}}}));
    EXPECT_EQ(from_file.filter.next.size(), 2u);

    // A missing file resolves to an empty object: the section loads with an empty filter.
    RouterConfig missing(doc_with({{"topology", {{"filter", dir.file("none.json")}}}}));
    EXPECT_TRUE(missing.filter.next.empty());

    // A filter that is not an array is logged by the filter and leaves it empty.
    RouterConfig not_array(doc_with({{"topology", {{"filter", json::object()}}}}));
    EXPECT_TRUE(not_array.filter.next.empty());

    const auto broken = dir.write("broken.json", "[{");
    EXPECT_THROW(RouterConfig(doc_with({{"topology", {{"filter", broken}}}})), json::parse_error);
}

}  // namespace
