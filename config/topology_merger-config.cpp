#include "config/topology_merger-config.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/syslog.hpp"
#include "config/config.hpp"

using nlohmann::json;

namespace {

json::json_pointer key(const char* name) {
    return json::json_pointer("/topology_merger") / name;
}

std::string optional_string(const json& document, const char* name) {
    return document.value(key(name), json(std::string())).get<std::string>();
}

// Any JSON number, truncated to a 64-bit integer and then cut to its low 32 bits (so -1 gives
// the largest period). A boolean, which the JSON type would turn into a number, is refused.
uint32_t read_period(const json& document) {
    const auto period = document.value(key("update_period_in_sec"), json(5));
    if (!period.is_number())
        throw json::type_error::create(
            302, std::string("type must be number, but is ") + period.type_name(), &period);
    if (period.is_number_unsigned()) return static_cast<uint32_t>(period.get<uint64_t>());
    if (period.is_number_integer()) return static_cast<uint32_t>(period.get<int64_t>());
    // A float beyond the 64-bit range is clamped rather than converted out of range.
    constexpr double kMax = 9223372036854775807.0;
    constexpr double kMin = -9223372036854775808.0;
    const double value = period.get<double>();
    if (value >= kMax) return static_cast<uint32_t>(std::numeric_limits<int64_t>::max());
    if (value <= kMin) return static_cast<uint32_t>(std::numeric_limits<int64_t>::min());
    return static_cast<uint32_t>(static_cast<int64_t>(value));
}

}  // namespace

TopologyMergerConfig::TopologyMergerConfig(const json& document) {
    using framework::Syslog;
    if (!document.is_object() || !document.contains("topology_merger"))
        throw std::runtime_error("is off");

    // The result of the parse is not tested here: the listener tests the address when the
    // role opens it.
    listen.parse(document.at(key("listen")).get<std::string>());

    // A compile error is logged by the filter and leaves what was compiled until then.
    const json filter_value = Config::get_json(document.at(key("filter")));
    filter.next.clear();
    filter.add_next(filter_value, "");

    topology_initial = optional_string(document, "topology_initial");
    topology_cache_current = optional_string(document, "topology_cache_current");
    topology_cache_previous = optional_string(document, "topology_cache_previous");

    update_period_in_sec = read_period(document);

    // An array, an object's member values, or one value of any other type; null gives none.
    const json urls = document.value(key("clients"), json::array());
    for (const auto& url : urls) {
        if (!clients.insert(url.get<std::string>()).second)
            Syslog::log(Syslog::kWarning, "Client duplicate in TopologyMerger config \"%s\"",
                        url.get_ref<const std::string&>().c_str());
    }
    if (clients.empty()) Syslog::log(Syslog::kWarning, "NO Topology Client URLS!");
}
