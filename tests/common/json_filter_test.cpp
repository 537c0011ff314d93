#include "common/json_filter.hpp"

#include <gtest/gtest.h>

#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.hpp"
#include "support/test_support.hpp"
#include "topology/contour.hpp"

namespace {

using json_tools::filter::json;
using json_tools::filter::Node;
using framework::Syslog;

// A record that keeps the accepted element as it was after the assignments.
struct Record {
    explicit Record(const json& element) : value(element) {}
    json value;
};

// A record that refuses elements without "ok".
struct PickyRecord {
    explicit PickyRecord(const json& element) : value(element) {
        if (!element.contains("ok")) throw std::runtime_error("no ok member");
    }
    json value;
};

// Sends the log to a file of its own at the finest level, so tests can read the lines.
class JsonFilter : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = dir_.file("filter.log");
        Syslog::redirect(log_path_);
        Syslog::set_log_level("all");
    }
    void TearDown() override {
        Syslog::set_log_level("info");
        Syslog::redirect("");
    }

    std::string log_text() const { return testsupport::read_file(log_path_); }
    bool logged(const std::string& message) const {
        return log_text().find("]: " + message + "\n") != std::string::npos;
    }

    // Compiles `filter` under a fresh root.
    static std::unique_ptr<Node> compile(const json& filter, bool expect_ok = true) {
        auto root = std::make_unique<Node>();
        EXPECT_EQ(root->add_next(filter, ""), expect_ok) << filter.dump();
        return root;
    }

    // Walks `body` with every top-level node, as the topology parser does.
    template <class T = Record>
    static std::list<T> walk(const Node& root, json& body, bool* produced = nullptr) {
        std::list<T> out;
        Node::context_type context{&body, {}, 0};
        bool any = false;
        for (const auto& child : root.next) any = child->get_next(body, out, context) || any;
        EXPECT_TRUE(context.pointer.empty());
        EXPECT_EQ(context.depth, 0);
        if (produced != nullptr) *produced = any;
        return out;
    }

    // A leaf that accepts elements whose .kind is "x" and copies their .id into .out.
    static json leaf_filter(const json& extra_set = json::object()) {
        json set = {{".out", ".id"}};
        set.update(extra_set);
        return json::array({{{"filter", {{".kind", "x"}, {"set", set}}}}});
    }

    testsupport::TempDir dir_;
    std::string log_path_;
};

// --- compiling ---

TEST_F(JsonFilter, CompilesTheTree) {
    auto root = compile(json::parse(R"([
        {"filter": {".className": "FIELD", "set": {".path": ".nodePath"}}},
        {"components": [{"filter": {"set": {".a": "b"}}}, {}]}
    ])"));
    EXPECT_EQ(root->id, -1);
    ASSERT_EQ(root->next.size(), 2u);
    const Node& first = *root->next[0];
    EXPECT_EQ(first.id, 0);
    EXPECT_EQ(first.name, "");
    EXPECT_EQ(first.conditions, (Node::map{{".className", "FIELD"}}));
    EXPECT_EQ(first.assignments, (Node::map{{".path", ".nodePath"}}));
    EXPECT_TRUE(first.next.empty());

    const Node& second = *root->next[1];
    EXPECT_TRUE(second.conditions.empty());
    EXPECT_TRUE(second.assignments.empty());
    ASSERT_EQ(second.next.size(), 2u);
    for (const auto& child : second.next) {
        EXPECT_EQ(child->id, 1);
        EXPECT_EQ(child->name, "components");
    }
    EXPECT_EQ(second.next[0]->assignments, (Node::map{{".a", "b"}}));
}

TEST_F(JsonFilter, EmptyArrayCompilesToNothing) {
    auto root = compile(json::array());
    EXPECT_TRUE(root->next.empty());
    json body = {{"components", json::array()}};
    bool produced = true;
    EXPECT_TRUE(walk(*root, body, &produced).empty());
    EXPECT_FALSE(produced);
}

TEST_F(JsonFilter, ScalarTexts) {
    Node node;
    struct Case {
        json value;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"FIELD", "FIELD"},
        {12, "12"},
        {-7, "-7"},
        {1.5, "1.500000"},
        {5.0, "5.000000"},
        {true, "true"},
        {false, "false"},
        {nullptr, ""},
        {json(std::uint64_t{9223372036854775807ull}), "9223372036854775807"},
        // Above the signed range the value stays as it is rather than wrapping negative.
        {json(std::uint64_t{9223372036854775808ull}), "9223372036854775808"},
        {json(std::uint64_t{18446744073709551615ull}), "18446744073709551615"},
        {json::array({1}), std::nullopt},
        {json::object(), std::nullopt},
        {json(json::value_t::discarded), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(node.get_string(c.value), c.text) << c.value.dump();

    // The same conversion applies to condition values when compiling.
    auto root = compile(json::parse(
        R"([{"filter": {".a": 12, ".b": 1.5, ".c": true, ".d": null, ".e": 18446744073709551615}}])"));
    EXPECT_EQ(root->next[0]->conditions,
              (Node::map{{".a", "12"}, {".b", "1.500000"}, {".c", "true"}, {".d", ""},
                         {".e", "18446744073709551615"}}));
}

TEST_F(JsonFilter, CompileErrors) {
    struct Case {
        const char* filter;
        const char* message;
        std::size_t top_children;  // what stays compiled
    };
    const std::vector<Case> cases = {
        {R"({"filter": {}})", "filter(-1): '' is not array", 0},
        {R"([5])", "filter(-1): '' is not object", 1},
        {R"([{"filter": "x"}])", "filter(-1): 'filter' is not object", 1},
        {R"([{"filter": {".a": "x", ".b": [1], ".c": "y"}}])", "filter(-1): .b: wrong value", 1},
        {R"([{"filter": {"set": "str"}}])", R"(filter(0): '"str"' is not object)", 1},
        {R"([{"filter": {"set": {".p": {"x": 1}}}}])", "filter(0): .p: wrong value", 1},
        {R"([{"components": {}}])", "filter(0): 'components' is not array", 1},
        {R"([{"components": [3]}])", "filter(0): 'components' is not object", 1},
        {R"([{"a": [{"b": 7}]}])", "filter(1): 'b' is not array", 1},
        // The first error stops everything after it.
        {R"([{"filter": {".a": []}}, {"filter": {".b": "x"}}])", "filter(-1): .a: wrong value", 1},
    };
    for (const Case& c : cases) {
        auto root = compile(json::parse(c.filter), false);
        EXPECT_TRUE(logged(c.message)) << c.filter << "\n" << log_text();
        EXPECT_EQ(root->next.size(), c.top_children) << c.filter;
    }
}

TEST_F(JsonFilter, CompileErrorKeepsWhatWasCompiled) {
    auto root = compile(json::parse(R"([{"filter": {".a": "x", ".b": [1], ".c": "y"}}])"), false);
    ASSERT_EQ(root->next.size(), 1u);
    EXPECT_EQ(root->next[0]->conditions, (Node::map{{".a", "x"}}));

    // "filter" sorts before "zz": the nested array was never reached.
    root = compile(json::parse(R"([{"filter": {"set": 1}, "zz": [{}]}])"), false);
    ASSERT_EQ(root->next.size(), 1u);
    EXPECT_TRUE(root->next[0]->next.empty());

    // Depth first: the nested child that failed stays too.
    root = compile(json::parse(R"([{"a": [{"filter": {".x": 1}}, 5, {}]}])"), false);
    ASSERT_EQ(root->next.size(), 1u);
    ASSERT_EQ(root->next[0]->next.size(), 2u);
    EXPECT_EQ(root->next[0]->next[0]->conditions, (Node::map{{".x", "1"}}));
}

// --- evaluation ---

TEST_F(JsonFilter, ProducingTopNodeOnArrayAndObject) {
    auto root = compile(json::parse(R"([{"filter": {"set": {".out": ".id"}}}])"));
    json array_body = json::parse(R"([{"id": 1}, {"id": "two"}])");
    auto records = walk(*root, array_body);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records.front().value["out"], "1");  // assignments write strings
    EXPECT_EQ(records.back().value["out"], "two");
    EXPECT_EQ(array_body[0]["out"], "1");  // and they stay in the document

    json object_body = {{"id", 3}};
    records = walk(*root, object_body);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().value, (json{{"id", 3}, {"out", "3"}}));
}

TEST_F(JsonFilter, ConditionMatching) {
    struct Case {
        const char* condition;  // the "filter" object, without "set"
        const char* element;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {R"({".c": "FIELD"})", R"({"c": "field"})", true},
        {R"({".c": "FIELD"})", R"({"c": "Field"})", true},
        {R"({".c": "FIELD"})", R"({"c": "FIELD"})", true},
        {R"({".c": "FIELD"})", R"({"c": "FIELDS"})", false},
        {R"({".c": 5})", R"({"c": 5})", true},
        {R"({".c": 5})", R"({"c": "5"})", true},
        {R"({".c": 5})", R"({"c": 5.0})", false},  // reads as 5.000000
        {R"({".c": null})", R"({"c": null})", true},
        {R"({".c": true})", R"({"c": "TRUE"})", true},
        {R"({".c": ".d"})", R"({"c": "Abc", "d": "aBC"})", true},  // two members compared
        {R"({".c": ".d"})", R"({"c": "abc", "d": "abd"})", false},
        {R"({".c": ".d"})", R"({"c": "abc", "d": {"x": 1}})", false},  // an object has no text
        {R"({".c": "a/b"})", R"({"c": "A/B", "a": {"b": "A/B"}})", true},  // literal, not a path
        {R"({".c": "x", ".d": "y"})", R"({"c": "x", "d": "y"})", true},
        {R"({".c": "x", ".d": "y"})", R"({"c": "x", "d": "z"})", false},
        {R"({"c": "x"})", R"({"c": "x"})", false},       // key without a dot
        {R"({"a/c": "x"})", R"({"c": "x"})", false},     // key with a slash
        {R"({"": ""})", R"({"c": "x"})", false},          // empty key
    };
    for (const Case& c : cases) {
        json filter_object = json::parse(c.condition);
        filter_object["set"] = {{".hit", "yes"}};
        auto root = compile(json::array({{{"filter", filter_object}}}));
        json body = json::parse(c.element);
        EXPECT_EQ(walk(*root, body).size(), c.accepted ? 1u : 0u)
            << c.condition << " on " << c.element;
    }
}

TEST_F(JsonFilter, ConditionsAndAssignmentsAreLogged) {
    auto root = compile(json::parse(R"([{"filter": {".c": "FIELD", "set": {".out": ".id"}}}])"));
    json body = {{"c", "field"}, {"id", 4}};
    walk(*root, body);
    EXPECT_TRUE(logged("filter(0): .c eq FIELD")) << log_text();
    EXPECT_TRUE(logged("filter(0): set .out = 4")) << log_text();
}

TEST_F(JsonFilter, PathSources) {
    // The walked elements lie at /components/3 and /components/3/children/0.
    const json body = json::parse(R"({
        "site": "top",
        "components": [{"kind": "-"}, {"kind": "-"}, {"kind": "-"},
            {"kind": "x", "site": "mid", "ref": {"name": "R3"}, "nul": null,
             "children": [{"kind": "x", "site": "low", "ref": {"name": "R30"}, "nul": null}]}]
    })");
    struct Case {
        const char* source;
        std::string at3;
        std::string at30;
    };
    const std::vector<Case> cases = {
        {"../site", "top", "mid"},  // ".." leaves the element and the array holding it
        {"./site", "mid", "low"},
        {"ref/name", "R3", "R30"},
        {"ref/.name", "R3", "R30"},
        {"nul/name", "", ""},      // through null: empty
        {"missing/name", "", ""},  // absent: empty
        {"ref/", "", ""},          // the empty piece names the member "", which is absent
        {"ref/name/x", "", ""},    // a name applied to a string: empty
    };
    for (const Case& c : cases) {
        const json node = {{"filter", {{".kind", "x"}, {"set", {{".out", c.source}}}}}};
        json element = node;
        element["children"] = json::array({node});
        auto root = compile(json::array({{{"components", json::array({element})}}}));
        json doc = body;
        const auto records = walk(*root, doc);
        EXPECT_EQ(records.size(), 2u) << c.source;
        EXPECT_EQ(doc["components"][3]["out"], c.at3) << c.source;
        EXPECT_EQ(doc["components"][3]["children"][0]["out"], c.at30) << c.source;
    }
}

TEST_F(JsonFilter, IndexedPathIsRefused) {
    auto root = compile(json::parse(R"([{"filter": {"set": {".out": "list/0"}}}])"));
    json body = {{"list", {"a"}}};
    bool produced = true;
    EXPECT_TRUE(walk(*root, body, &produced).empty());
    EXPECT_FALSE(produced);
    EXPECT_FALSE(body.contains("out"));
    EXPECT_TRUE(logged("filter(0): indexed path is restricted")) << log_text();
}

TEST_F(JsonFilter, InvalidTargetRejectsButLeafStillDescends) {
    auto root = compile(json::parse(R"([{"items": [{"filter": {"set": {"out": ".id"}}}]}])"));
    json body = json::parse(R"({"items": [{"id": 1, "items": [{"id": 2}]}]})");
    EXPECT_TRUE(walk(*root, body).empty());
    EXPECT_TRUE(logged("filter(1): set: invalid 'out' name")) << log_text();
    // Both levels were visited: the nested element's walk logged its pointer.
    EXPECT_TRUE(logged("filter(1): /items/0/items/0")) << log_text();
}

TEST_F(JsonFilter, LeafDescendsIntoSameNamedMembersInAnyCase) {
    auto root = compile(json::array({{{"components", leaf_filter()}}}));
    json body = json::parse(R"({"components": [
        {"kind": "x", "id": 1, "Components": [{"kind": "y", "id": 2,
            "COMPONENTS": [{"kind": "X", "id": 3}]}]},
        {"kind": "x", "id": 4, "componentsX": [{"kind": "x", "id": 5}]}
    ]})");
    std::vector<std::string> ids;
    for (const Record& r : walk(*root, body)) ids.push_back(r.value["out"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "3", "4"}));
}

TEST_F(JsonFilter, DepthLimit) {
    // The usual shape: the top-level components sit at depth 2 and each further nesting
    // adds 2, so the 23rd nested level (depth 48) is read and the 24th (depth 50) is not.
    auto root = compile(json::array({{{"components", leaf_filter()}}}));
    json body = {{"components", json::array()}};
    json* level = &body["components"];
    for (int n = 0; n <= 24; ++n) {
        level->push_back({{"kind", "x"}, {"id", n}, {"components", json::array()}});
        level = &(*level)[0]["components"];
    }
    const auto records = walk(*root, body);
    ASSERT_EQ(records.size(), 24u);
    EXPECT_EQ(records.back().value["out"], "23");
    EXPECT_EQ(log_text().find("depth"), std::string::npos);  // no log line for the limit

    // The limit applies to a walk started deeper too.
    std::list<Record> out;
    Node::context_type context{&body, {}, 50};
    EXPECT_FALSE(root->next[0]->get_next(body, out, context));
    EXPECT_TRUE(out.empty());
}

TEST_F(JsonFilter, RecordThatCannotBeBuiltIsSkipped) {
    auto root = compile(json::parse(R"([{"filter": {"set": {".out": ".id"}}}])"));
    json body = json::parse(R"([{"id": 1}, {"id": 2, "ok": 1}])");
    std::list<PickyRecord> out;
    Node::context_type context{&body, {}, 0};
    EXPECT_TRUE(root->next[0]->get_next(body, out, context));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.front().value["id"], 2);
    EXPECT_TRUE(logged("add to list: no ok member")) << log_text();
}

TEST_F(JsonFilter, LibraryErrorsEndTheWalk) {
    struct Case {
        const char* filter;
        const char* body;
        const char* what;  // part of the library's message
    };
    const std::vector<Case> cases = {
        {R"([{"components": [{"filter": {"set": {".a": "b"}}}]}])", R"({"other": []})",
         "key 'components' not found"},
        {R"([{"components": [{"filter": {"set": {".a": "b"}}}]}])", R"(7)",
         "cannot use at() with number"},
        {R"([{"filter": {".kind": "x"}}])", R"({"id": 1})", "key 'kind' not found"},
        {R"([{"filter": {"set": {".a": ".id"}}}])", R"({"x": 1})", "key 'id' not found"},
        {R"([{"filter": {"set": {".a": "../x"}}}])", R"({"x": 1})", "JSON pointer has no parent"},
        {R"([{"filter": {"set": {".a": "x/y"}}}])", R"({"x": {"y": 5}})",
         "type must be string, but is number"},
        {R"([{"filter": {"set": {".a": "x/name"}}}])", R"({"x": ["a"]})", "array index 'name'"},
        {R"([{"items": [{"filter": {"set": {".a": "b"}}}]}])", R"({"items": [5]})",
         "cannot use operator[] with a string argument with number"},
    };
    for (const Case& c : cases) {
        auto root = compile(json::parse(c.filter));
        json body = json::parse(c.body);
        std::list<Record> out;
        Node::context_type context{&body, {}, 0};
        try {
            root->next[0]->get_next(body, out, context);
            ADD_FAILURE() << "no exception for " << c.filter << " on " << c.body;
        } catch (const json::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos)
                << c.filter << ": " << e.what();
        }
        // The walk restores its position even when it is ended by an exception.
        EXPECT_TRUE(context.pointer.empty());
        EXPECT_EQ(context.depth, 0);
    }

    // A path resolved while the root is not an object.
    auto root = compile(json::parse(R"([{"filter": {"set": {".a": "./x"}}}])"));
    json body = json::parse(R"([{"x": "1"}])");
    std::list<Record> out;
    Node::context_type context{&body, {}, 0};
    try {
        root->next[0]->get_next(body, out, context);
        ADD_FAILURE() << "no exception for an array root";
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot use value() with array"), std::string::npos)
            << e.what();
    }
}

TEST_F(JsonFilter, RecordsBeforeAnErrorStay) {
    auto root = compile(json::parse(R"([{"filter": {".kind": "x", "set": {".out": ".id"}}}])"));
    json body = json::parse(R"([{"kind": "x", "id": 1}, {"id": 2}])");
    std::list<Record> out;
    Node::context_type context{&body, {}, 0};
    EXPECT_THROW(root->next[0]->get_next(body, out, context), json::out_of_range);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.front().value["out"], "1");
}

// The filter that reads a topology answer (or the merged envelope) into contours.
const char* kTopologyFilter = R"([{"components": [{"filter": {
    ".className": "FIELD",
    "set": {".path": ".nodePath", ".parent": ".parentCode", ".slave": "reserveNode/nodePath",
            ".weight": ".loadPercent", ".mode": ".currentMode", ".type": ".type",
            ".timestamp": ".lastSwitchTime"}}}]}])";

TEST_F(JsonFilter, TopologyAnswerBecomesContours) {
    auto root = compile(json::parse(kTopologyFilter));
    ASSERT_EQ(root->next.size(), 1u);
    const Node& top = *root->next[0];
    EXPECT_EQ(top.id, 0);
    ASSERT_EQ(top.next.size(), 1u);
    EXPECT_EQ(top.next[0]->id, 1);
    EXPECT_EQ(top.next[0]->name, "components");
    EXPECT_EQ(top.next[0]->conditions.size(), 1u);
    EXPECT_EQ(top.next[0]->assignments.size(), 7u);

    json body = json::parse(R"({"components": [
        {"className": "FIELD", "nodePath": "Platform.Node1", "parentCode": "platform.cluster1",
         "reserveNode": {"nodePath": "Platform.Node2"}, "loadPercent": 50,
         "currentMode": "NORMAL", "type": "ACTIVE", "lastSwitchTime": 1700000000},
        {"className": "CLUSTER", "nodePath": "platform.cluster2", "components": [
            {"className": "field", "nodePath": "platform.node3", "parentCode": "platform.cluster2",
             "reserveNode": null, "loadPercent": "20", "currentMode": "REPAIR",
             "type": "PASSIVE", "lastSwitchTime": null}]}
    ]})");
    const auto contours = walk<Contour>(*root, body);
    ASSERT_EQ(contours.size(), 2u);
    const Contour& a = contours.front();
    EXPECT_EQ(a.path, "platform.node1");
    EXPECT_EQ(a.parent, "platform.cluster1");
    EXPECT_EQ(a.slave, "platform.node2");
    EXPECT_EQ(a.weight, 50);
    EXPECT_EQ(a.mode, Contour::NORMAL);
    EXPECT_EQ(a.type, Contour::ACTIVE);
    EXPECT_EQ(a.timestamp, 1700000000u);
    const Contour& b = contours.back();
    EXPECT_EQ(b.path, "platform.node3");
    EXPECT_EQ(b.slave, "");      // null reserveNode
    EXPECT_EQ(b.timestamp, 0u);  // null lastSwitchTime reads as an empty text
    EXPECT_EQ(b.mode, Contour::REPAIR);
    EXPECT_EQ(b.type, Contour::PASSIVE);
    EXPECT_EQ(b.weight, 20);
    // The accepted elements carry the written string members.
    EXPECT_EQ(body["components"][0]["weight"], "50");
    EXPECT_FALSE(body["components"][1].contains("path"));
}

TEST_F(JsonFilter, SharedTreeWalksOnSeveralThreads) {
    auto root = compile(json::parse(kTopologyFilter));
    json body = {{"components", json::array()}};
    for (int i = 0; i < 50; ++i)
        body["components"].push_back({{"className", "FIELD"},
                                      {"nodePath", "n" + std::to_string(i)},
                                      {"parentCode", "c"},
                                      {"reserveNode", nullptr},
                                      {"loadPercent", 1},
                                      {"currentMode", "NORMAL"},
                                      {"type", "ACTIVE"},
                                      {"lastSwitchTime", nullptr}});
    Syslog::set_log_level("info");  // keep the traces out of this one
    std::vector<std::size_t> counts(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < counts.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                json doc = body;
                std::list<Contour> out;
                Node::context_type context{&doc, {}, 0};
                root->next[0]->get_next(doc, out, context);
                counts[t] += out.size();
            }
        });
    for (auto& th : threads) th.join();
    for (std::size_t c : counts) EXPECT_EQ(c, 50u * 20u);
}

}  // namespace
