#pragma once
// Text parsers that keep the error text of their last failed parse instead of throwing, and
// the topology parser: it checks a topology service's answer envelope
// ({"success": true, "body": ...}), walks the body with the configured JSON filter and hands
// the contours over as a snapshot or as a list.
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "topology/contour.hpp"
#include "topology/topology-data-info.hpp"

namespace json_tools::filter {
class Node;
}

template <class T>
class Parser {
public:
    explicit Parser(std::string name) : name(std::move(name)) {}
    virtual ~Parser() = default;
    // True on success; otherwise false with `error` set. Never throws.
    virtual bool parse(std::string_view text) = 0;
    // The result of the last successful parse.
    virtual T get() = 0;

    std::string error;  // the text of the last failure; empty until one
    std::string name;   // the parser class's own name
};

class TopologyParser : public Parser<std::shared_ptr<TopologyData>> {
public:
    // `filter` is not owned and must outlive the parser.
    TopologyParser(const json_tools::filter::Node& filter, std::string_view root);

    // True when at least one contour was produced. Errors: "json is empty",
    // "unsuccessful status", "nothing found", or the JSON library's own message.
    bool parse(std::string_view text) override;
    // A snapshot made by taking over `contours` and `root`: call once per successful parse.
    std::shared_ptr<TopologyData> get() override;

    std::string root;
    const json_tools::filter::Node* filter;
    std::list<Contour> contours;  // the last parse's contours; a caller may take them over
    nlohmann::json document;      // the last parsed answer, as the filter left it
};
