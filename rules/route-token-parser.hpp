#pragma once
// Reads the decoded payload of a route token and picks the node path for one platform root:
// {"routes": {<root>: {"masterNode": {"type", "nodePath"}, "slaveNode": {"nodePath"}}}}.
// A master node in REPAIR (any case) gives way to the slave node. Built per request and
// never shared.
#include <string>
#include <string_view>

class RouteTokenParser {
public:
    // `key` is the platform root whose route is wanted; it names one member of "routes"
    // verbatim ('/' and '~' included).
    explicit RouteTokenParser(std::string_view key);
    virtual ~RouteTokenParser() = default;

    // True when a node path was found; false with `error` set otherwise. Never throws; a
    // failed parse leaves the previous path.
    virtual bool parse(std::string_view payload);
    // The path found, lowercased in place; the view lives as long as the parser.
    virtual std::string_view get();

    std::string error;
    std::string name = "RouteTokenParser";
    std::string key;
    std::string path;
};
