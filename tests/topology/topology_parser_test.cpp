#include "topology/topology-parser.hpp"

#include <gtest/gtest.h>

#include "common/json_filter.hpp"
#include "log_capture.hpp"

namespace {

using nlohmann::json;

// Reads the merged envelope and any service answer in the same shape.
const char* kEnvelopeFilter = R"([{"components":[{"filter":{".className":"FIELD","set":{
    ".path":".nodePath",".parent":".parentCode",".slave":"reserveNode/nodePath",
    ".weight":".loadPercent",".mode":".currentMode",".type":".type",
    ".timestamp":".lastSwitchTime"}}}]}])";

// Takes "mode" from the component itself, so a component without it cannot become a contour.
const char* kLooseFilter = R"([{"components":[{"filter":{"set":{
    ".path":".nodePath",".weight":".loadPercent",".type":".type"}}}]}])";

struct Compiled {
    explicit Compiled(const char* text) { root.add_next(json::parse(text), ""); }
    json_tools::filter::Node root;
};

std::string component(const char* path, int weight = 1) {
    return json{{"className", "FIELD"}, {"nodePath", path}, {"parentCode", "p.c"},
                {"reserveNode", {{"nodePath", ""}}}, {"loadPercent", weight},
                {"currentMode", "NORMAL"}, {"type", "ACTIVE"}, {"lastSwitchTime", nullptr}}
        .dump();
}

struct ParseCase {
    const char* name;
    std::string text;
    bool ok;
    const char* error_part;  // a part of the error text when not ok
};

class TopologyParserTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TopologyParserTable, Parses) {
    const auto& c = GetParam();
    Compiled filter(kEnvelopeFilter);
    TopologyParser parser(filter.root, "p");
    EXPECT_EQ(parser.name, "TopologyParser");
    EXPECT_EQ(parser.parse(c.text), c.ok) << parser.error;
    if (c.ok) {
        EXPECT_TRUE(parser.error.empty());
        EXPECT_FALSE(parser.contours.empty());
    } else {
        EXPECT_NE(parser.error.find(c.error_part), std::string::npos) << parser.error;
    }
}

const std::string kGoodBody = R"({"components":[)" + component("P.A") + "]}";

INSTANTIATE_TEST_SUITE_P(
    TopologyParser, TopologyParserTable,
    ::testing::Values(
        ParseCase{"Good", R"({"success":true,"body":)" + kGoodBody + "}", true, ""},
        ParseCase{"EmptyObject", "{}", false, "json is empty"},
        ParseCase{"EmptyArray", "[]", false, "json is empty"},
        ParseCase{"Null", "null", false, "json is empty"},
        ParseCase{"NoSuccess", R"({"body":)" + kGoodBody + "}", false, "unsuccessful status"},
        ParseCase{"SuccessFalse", R"({"success":false,"body":)" + kGoodBody + "}", false,
                  "unsuccessful status"},
        ParseCase{"NoBody", R"({"success":true})", false, "key 'body' not found"},
        ParseCase{"SuccessNotBoolean", R"({"success":"yes","body":{}})", false,
                  "type must be boolean, but is string"},
        ParseCase{"NonEmptyArray", "[1]", false, "cannot use value() with array"},
        ParseCase{"Scalar", "5", false, "cannot use value() with number"},
        ParseCase{"NotJson", "{\"success\":", false, "parse error"},
        ParseCase{"NoComponentsMember", R"({"success":true,"body":{}})", false,
                  "key 'components' not found"},
        ParseCase{"NothingAccepted",
                  R"({"success":true,"body":{"components":[{"className":"OTHER"}]}})", false,
                  "nothing found"},
        ParseCase{"EmptyComponents", R"({"success":true,"body":{"components":[]}})", false,
                  "nothing found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TopologyParser, SkipsAComponentThatIsNoContour) {
    std::string log = topology_test::capture_log([] {
        Compiled filter(kLooseFilter);
        TopologyParser parser(filter.root, "p");
        const char* text = R"({"success":true,"body":{"components":[
            {"nodePath":"p.bad","loadPercent":1,"type":"ACTIVE"},
            {"nodePath":"p.good","loadPercent":2,"type":"ACTIVE","mode":"REPAIR"}]}})";
        if (!parser.parse(text)) ::_exit(3);
        if (parser.contours.size() != 1 || parser.contours.front().path != "p.good" ||
            parser.contours.front().mode != Contour::REPAIR)
            ::_exit(4);
    });
    EXPECT_NE(log.find("add to list: "), std::string::npos) << log;
    EXPECT_NE(log.find("key 'mode' not found"), std::string::npos) << log;
}

TEST(TopologyParser, GetHandsOverAndSecondParseStartsEmpty) {
    Compiled filter(kEnvelopeFilter);
    TopologyParser parser(filter.root, "p");
    const std::string two = R"({"success":true,"body":{"components":[)" + component("p.a", 3) +
                            "," + component("p.b", 0) + "]}}";
    ASSERT_TRUE(parser.parse(two));
    auto snapshot = parser.get();
    EXPECT_TRUE(parser.contours.empty());
    EXPECT_TRUE(parser.root.empty());
    ASSERT_EQ(snapshot->get_contours().size(), 2u);
    ASSERT_NE(snapshot->get_by_path("a"), nullptr);  // the root was handed over too
    EXPECT_EQ(snapshot->get_by_path("a")->weight, 3);
    EXPECT_EQ(snapshot->get_by_hash("c", "k"), std::optional<std::string_view>("p.a"));

    const std::string one = R"({"success":true,"body":{"components":[)" + component("p.z") + "]}}";
    ASSERT_TRUE(parser.parse(one));
    ASSERT_EQ(parser.contours.size(), 1u);
    EXPECT_EQ(parser.contours.front().path, "p.z");
}

TEST(TopologyParser, FilterWithoutChildrenFindsNothing) {
    Compiled filter("[]");
    TopologyParser parser(filter.root, "p");
    EXPECT_FALSE(parser.parse(R"({"success":true,"body":{"components":[)" + component("p.a") + "]}}"));
    EXPECT_EQ(parser.error, "nothing found");
}

}  // namespace
