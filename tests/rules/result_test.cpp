#include "rules/result.hpp"

#include <gtest/gtest.h>

namespace {

using boost::beast::http::status;
using nlohmann::json;

struct ResultCase {
    const char* name;
    Result::Type type;
    const char* text;
    status given;
    status expected_status;
    const char* expected_text;
    json expected_json;
};

class ResultTable : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ResultTable, AnswersByType) {
    const auto& c = GetParam();
    Result r(c.type, c.text, c.given);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.status, c.expected_status);
    EXPECT_EQ(r.text, c.expected_text);
    EXPECT_EQ(r.get_json(), c.expected_json);
    EXPECT_EQ(r.get_json().dump(), c.expected_json.dump());
}

INSTANTIATE_TEST_SUITE_P(
    Result, ResultTable,
    ::testing::Values(
        ResultCase{"RouteForces200", Result::Route, "a.b/c", status::not_found, status::ok,
                   "a_b_c", json{{"cluster", "@a_b_c"}}},
        ResultCase{"RouteKeepsCaseAndOtherBytes", Result::Route, "mav.Zone-1.node/7",
                   status::ok, status::ok, "mav_Zone-1_node_7",
                   json{{"cluster", "@mav_Zone-1_node_7"}}},
        ResultCase{"RouteEmptyPath", Result::Route, "", status::ok, status::ok, "",
                   json{{"cluster", "@"}}},
        ResultCase{"Error404", Result::Error, "route not found", status::not_found,
                   status::not_found, "route not found", json{{"error", "route not found"}}},
        ResultCase{"Error403KeepsStatus", Result::Error, "node in repair", status::forbidden,
                   status::forbidden, "node in repair", json{{"error", "node in repair"}}},
        ResultCase{"ErrorKeepsDots", Result::Error, "a.b", status::not_found,
                   status::not_found, "a.b", json{{"error", "a.b"}}},
        ResultCase{"SkipNullBody", Result::Skip, "x", status::ok, status::ok, "x", json()},
        ResultCase{"PendingNullBody", Result::Pending, "p", status::accepted,
                   status::accepted, "p", json()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Result, TypeOnlyConstructor) {
    Result pending(Result::Pending);
    EXPECT_EQ(pending.text, "pending");
    EXPECT_EQ(pending.status, status::no_content);
    EXPECT_TRUE(pending.get_json().is_null());

    Result skip(Result::Skip);
    EXPECT_EQ(skip.text, "");
    EXPECT_EQ(skip.status, status::no_content);
    EXPECT_TRUE(skip.json.is_null());
}

TEST(Result, MergedMembersVisibleOnlyForRouteAndError) {
    Result skip(Result::Skip);
    skip.json.merge_patch(json{{"rule", "x"}});
    EXPECT_TRUE(skip.get_json().is_null());

    Result route(Result::Route, "p.a", status::ok);
    route.json.merge_patch(json{{"rule", "r"}, {"alias", "a"}, {"url", "/"}});
    // Members in byte order, written compactly: the router's answer as the proxy reads it.
    EXPECT_EQ(route.get_json().dump(), R"({"alias":"a","cluster":"@p_a","rule":"r","url":"/"})");
}

TEST(Result, CopyAndMoveKeepValue) {
    Result a(Result::Error, "boom", status::not_found);
    Result b = a;
    Result c = std::move(a);
    EXPECT_EQ(b.get_json(), c.get_json());
    EXPECT_EQ(b.text, "boom");
}

struct AliasCase {
    const char* root;
    const char* path;
    const char* alias;
};

TEST(Result, ShortPath) {
    const AliasCase cases[] = {
        {"p", "p.node1", "node1"},
        {"mav", "mav.zone.node", "zone.node"},
        {"p", "p.", ""},          // nothing after the dot
        {"p", "p", ""},           // the root itself
        {"p", "pa.node", ""},     // no dot right after the root
        {"p", "x.p.node", ""},    // root not at the start
        {"p", "", ""},
        {"", ".a", "a"},
        {"", "a", ""},
        {"mav.root", "mav.root.a", "a"},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        auto alias = Result::get_short_path(c.root, path);
        EXPECT_EQ(alias, c.alias) << c.root << " / " << c.path;
        if (!alias.empty()) {
            // The alias is a view into the path, not a copy.
            EXPECT_EQ(alias.data() + alias.size(), path.data() + path.size());
        }
    }
}

}  // namespace
