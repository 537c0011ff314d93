#include "config/router-config.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "config/config.hpp"

using nlohmann::json;

namespace {

const json& at(const json& document, const char* pointer) {
    return document.at(json::json_pointer(pointer));
}

// Any JSON number, a fractional one truncated; the JSON type would also turn a boolean into
// a number, which a period must not be.
int read_period(const json& document) {
    const auto period =
        document.value(json::json_pointer("/router/topology/update_period_sec"), json(5));
    if (!period.is_number())
        throw json::type_error::create(
            302, std::string("type must be number, but is ") + period.type_name(), &period);
    // A value beyond the range of int is clamped instead of converted out of range.
    constexpr auto kMax = std::numeric_limits<int>::max();
    constexpr auto kMin = std::numeric_limits<int>::min();
    if (period.is_number_unsigned())
        return static_cast<int>(std::min<uint64_t>(period.get<uint64_t>(), kMax));
    if (period.is_number_integer())
        return static_cast<int>(std::clamp<int64_t>(period.get<int64_t>(), kMin, kMax));
    return static_cast<int>(std::clamp<double>(period.get<double>(), kMin, kMax));
}

}  // namespace

RouterConfig::RouterConfig(const json& document) {
    if (!document.contains("router")) throw std::runtime_error("is off");

    // The result of each parse is not tested here: the listener and the clients test the
    // address when they use it.
    listen.parse(document.value(json::json_pointer("/router/listen"),
                                std::string("http://127.0.0.1:9053")));
    topology_url.parse(at(document, "/router/topology/url").get<std::string>());

    // A compile error is logged by the filter and leaves what was compiled until then.
    filter.add_next(Config::get_json(at(document, "/router/topology/filter")), "");

    update_period_sec = read_period(document);
    route_token_url.parse(at(document, "/router/route_token_service/url").get<std::string>());

    const auto section =
        document.value(json::json_pointer("/router/rules"), json::object()).get<json::object_t>();
    for (const auto& [name, value] : section) {
        json settings = value;
        if (settings.value("enabled", false)) {
            settings["routing"] = settings.value("routing", json::object()).get<json::object_t>();
            settings["hash"] = settings.value("hash", json::array()).get<json::array_t>();
        }
        rules.emplace(name, std::move(settings));
    }
}

const json& RouterConfig::get_rule_config(std::string_view name) const {
    static const json empty = json::object();
    auto it = rules.find(name);
    return it == rules.end() ? empty : it->second;
}
