#include "topology/topology-parser.hpp"

#include <exception>

#include "common/json_filter.hpp"

using nlohmann::json;

TopologyParser::TopologyParser(const json_tools::filter::Node& filter, std::string_view root)
    : Parser("TopologyParser"), root(root), filter(&filter) {}

bool TopologyParser::parse(std::string_view text) {
    try {
        document = json::parse(text.begin(), text.end());
        if (document.is_null() || ((document.is_object() || document.is_array()) && document.empty())) {
            error = "json is empty";
            return false;
        }
        if (!document.value(json::json_pointer("/success"), false)) {
            error = "unsuccessful status";
            return false;
        }
        json& body = document.at("body");
        contours.clear();
        json_tools::filter::Node::context_type context{&body, json::json_pointer(), 0};
        bool found = false;
        for (const auto& child : filter->next) {
            if (child->get_next(body, contours, context)) found = true;
        }
        if (found && !contours.empty()) return true;
        error = "nothing found";
        return false;
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown error";
    }
    return false;
}

std::shared_ptr<TopologyData> TopologyParser::get() {
    auto data = std::make_shared<TopologyDataInfo>(std::move(contours), std::move(root));
    contours.clear();
    root.clear();
    return data;
}
