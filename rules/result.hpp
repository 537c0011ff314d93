#pragma once
// The outcome of one routing rule for one request: whether the rule found a node,
// refused the request, took the answer over or does not apply, with the answer's
// status and JSON body. A plain per-request value, never shared between threads.
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/beast/http/status.hpp>
#include <nlohmann/json.hpp>

class Result {
public:
    enum Type : uint32_t {
        Route = 0,    // a node was found: 200 and the node's cluster name
        Error = 1,    // the rule refuses the request with its status and error text
        Pending = 2,  // the rule writes the answer itself later; the chain writes nothing
        Skip = 3,     // the rule does not apply; the next rule is asked
    };

    // Status 204, empty text ("pending" for Pending), null body.
    explicit Result(Type type);
    // Route: status forced to 200, every '.' and '/' of `text` becomes '_' and the body is
    // {"cluster": "@" + text}. Error: the body is {"error": text}. Otherwise a null body.
    Result(Type type, std::string_view text, boost::beast::http::status status);

    // A copy of the body for Route and Error; null for Pending and Skip, whatever was
    // merged into `json` afterwards.
    nlohmann::json get_json() const;

    // The node alias (Contour::alias_of).
    static std::string_view get_short_path(std::string_view root, std::string_view path);

    Type type;
    boost::beast::http::status status;
    std::string text;
    nlohmann::json json;
};
