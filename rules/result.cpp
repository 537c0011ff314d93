#include "rules/result.hpp"

#include <algorithm>

#include "topology/contour.hpp"

Result::Result(Type type)
    : type(type), status(boost::beast::http::status::no_content) {
    if (type == Pending) text = "pending";
}

Result::Result(Type type, std::string_view text, boost::beast::http::status status)
    : type(type), status(status), text(text) {
    switch (type) {
    case Route:
        this->status = boost::beast::http::status::ok;
        // The cluster name is the path with its separators flattened: the proxy picks
        // its upstream by this name.
        std::replace_if(
            this->text.begin(), this->text.end(), [](char c) { return c == '.' || c == '/'; },
            '_');
        json = nlohmann::json::object();
        json.emplace("cluster", "@" + this->text);
        break;
    case Error:
        json = nlohmann::json::object();
        json.emplace("error", this->text);
        break;
    case Pending:
    case Skip:
        break;
    }
}

nlohmann::json Result::get_json() const {
    if (type == Route || type == Error) return json;
    return nullptr;
}

std::string_view Result::get_short_path(std::string_view root, std::string_view path) {
    return Contour::alias_of(root, path);
}
