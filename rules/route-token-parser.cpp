#include "rules/route-token-parser.hpp"

#include <cctype>
#include <exception>

#include <nlohmann/json.hpp>

#include "common/strings.hpp"

namespace {

// The "nodePath" of a node object. A node that is not an object raises the library's type
// error; a node without "nodePath" is refused rather than read.
const std::string* node_path(const nlohmann::json& node) {
    auto it = node.is_object() ? node.find("nodePath") : node.end();
    if (!node.is_object()) node.at("nodePath");  // throws the type error
    if (it == node.end()) return nullptr;
    return &it->get_ref<const std::string&>();
}

}  // namespace

RouteTokenParser::RouteTokenParser(std::string_view key) : key(key) {}

bool RouteTokenParser::parse(std::string_view payload) {
    if (payload.empty()) {
        error = "route token is empty";
        return false;
    }
    try {
        const auto doc = nlohmann::json::parse(payload);
        // The key is one reference token, taken verbatim.
        const auto where = nlohmann::json::json_pointer("/routes") / key;
        const auto route = doc.value(where, nlohmann::json());
        if (route.is_null()) {
            error = "contour not found";
            return false;
        }
        const auto master = route.value("masterNode", nlohmann::json());
        const nlohmann::json* chosen = nullptr;
        if (!master.is_null() && !framework::iequals(master.value("type", std::string()), "REPAIR")) {
            chosen = &master;
        }
        nlohmann::json slave;
        if (!chosen) {
            slave = route.value("slaveNode", nlohmann::json());
            if (slave.is_null()) {
                error = "nodes not found";
                return false;
            }
            chosen = &slave;
        }
        const std::string* p = node_path(*chosen);
        if (!p) {
            error = "node path not found";
            return false;
        }
        // A non-string "nodePath" throws here, before the old path is touched.
        path = *p;
        return true;
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown error";
    }
    return false;
}

std::string_view RouteTokenParser::get() {
    for (auto& ch : path) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return path;
}
