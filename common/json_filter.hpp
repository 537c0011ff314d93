#pragma once
// A compiled JSON filter: a tree of nodes that selects elements of a JSON document, tests
// conditions on them, writes assignments into them and turns every element accepted by a
// producing node (one with assignments) into one record. The router and the merger use it to
// read a topology answer, whatever its member names, into contours.
//
// The filter is written as a JSON array; each element (an object) declares one node:
//   "filter": { ".member": expected, ..., "set": { ".target": source, ... } }
//   "<name>": [ ...nested nodes, looked up under <name> in every object this node accepts... ]
// Value references: "" is empty; text without a leading dot and without "/" is literal; ".name"
// is a member of the walked value; any text with "/" is a path resolved from the document root,
// starting at the walked value's position ("." stays, ".." leaves the element and its array,
// ".x" and "x" step into member x; pieces made of digits are refused).
//
// A compiled tree is only read by walks: several threads may walk different documents with the
// same tree at once. The root is owned by the configuration section that declares the filter.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/syslog.hpp"

namespace json_tools::filter {

using json = nlohmann::json;

class Node {
public:
    using map = std::map<std::string, std::string>;

    // State of one walk, passed by reference through the whole recursion. After each
    // top-level get_next call `pointer` and `depth` are as they were.
    struct context_type {
        const json* root = nullptr;   // what paths are resolved against (the answer's body)
        json::json_pointer pointer;   // where the walked value lies below `root`
        std::int32_t depth = 0;       // 0 for the top-level nodes
    };

    // Deepest level that a walk still processes.
    static constexpr std::int32_t kMaxDepth = 49;

    explicit Node(std::int32_t id = -1, std::string name = {});
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node();

    // Compiles the array `filter` into children of this node (named `name`, one level down).
    // Stops at the first error, which is logged at level 3; what was compiled until then,
    // the failing child included, stays in the tree.
    bool add_next(const json& filter, std::string_view name);
    // Copies the members of `object` into `into` as texts (the "set" object of this node).
    bool fill(map& into, const json& object);
    // A scalar as text: string unchanged, null empty, "true"/"false", integers in decimal,
    // floats as "%f". No value for objects, arrays and discarded values.
    std::optional<std::string> get_string(const json& value) const;

    // Walks `value` with this node and appends a record to `out` for every element that a
    // producing node accepts; true when this call appended one. T is constructed from a const
    // JSON value and reports bad input by throwing a standard exception (logged, skipped).
    // Assignments change `value`. Members that the filter names but the document lacks, and
    // values of the wrong kind, throw the JSON library's exception and end the whole walk.
    template <class T>
    bool get_next(json& value, std::list<T>& out, context_type& context) const;

    // One condition: `key` a member reference, `expected` a literal or a member reference;
    // equal ignoring ASCII letter case.
    bool contains(const json& value, const std::string& key, const std::string& expected,
                  const context_type& context) const;
    // Resolves a value reference (see above); no value for an object or array, or a refused path.
    std::optional<std::string> get(const std::string& reference, const json& value,
                                   const context_type& context) const;
    // One assignment: stores the source's text as a string member of `value`.
    bool set(json& value, const std::string& target, const std::string& source,
             const context_type& context) const;

    std::int32_t id = -1;
    std::string name;
    std::vector<std::unique_ptr<Node>> next;
    map conditions;
    map assignments;

private:
    // Keeps the context's pointer and depth balanced whichever way a step down ends.
    struct Descend {
        Descend(context_type& context, std::string token) : context_(context) {
            context_.pointer.push_back(std::move(token));
            ++context_.depth;
        }
        ~Descend() {
            context_.pointer.pop_back();
            --context_.depth;
        }
        Descend(const Descend&) = delete;
        Descend& operator=(const Descend&) = delete;
        context_type& context_;
    };

    static bool iequals(std::string_view a, std::string_view b) noexcept;
    bool accepts(json& value, const context_type& context) const;
};

template <class T>
bool Node::get_next(json& value, std::list<T>& out, context_type& context) const {
    if (context.depth > kMaxDepth) return false;

    // Conditions and assignments apply to the elements, never to an array itself.
    if (value.is_array()) {
        bool result = false;
        for (std::size_t i = 0; i < value.size(); ++i) {
            Descend step(context, std::to_string(i));
            if (get_next(value[i], out, context)) result = true;
        }
        return result;
    }

    if (!name.empty() && framework::Syslog::get_log_level() >= framework::Syslog::kDebug5)
        framework::Syslog::log(framework::Syslog::kDebug5, "filter(%d): %s", id, context.pointer.to_string().c_str());

    bool result = false;
    if (accepts(value, context)) {
        if (!assignments.empty()) {
            try {
                out.emplace_back(std::as_const(value));
                result = true;
            } catch (const std::exception& e) {
                framework::Syslog::log(framework::Syslog::kError, "add to list: %s", e.what());
            }
        }
        if (!next.empty()) {
            for (const auto& child : next) {
                Descend step(context, child->name);
                if (child->get_next(value.at(child->name), out, context)) result = true;
            }
            return result;
        }
    } else if (!next.empty()) {
        return false;
    }

    // A named leaf also descends into same-named members (any letter case), accepted or not,
    // so one leaf collects nested structures down to the depth limit.
    if (name.empty() || !value.is_object()) return result;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!iequals(it.key(), name)) continue;
        Descend step(context, it.key());
        if (get_next(it.value(), out, context)) result = true;
    }
    return result;
}

}  // namespace json_tools::filter
