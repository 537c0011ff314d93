#include "config/proxy-config.hpp"

#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace config {

using json = nlohmann::json;

Server::Server(const json& value, std::string_view key) : url(key) {
    const auto it = value.find("weight");
    if (it == value.end()) return;
    if (!it->is_number())
        throw json::type_error::create(302, std::string("type must be number, but is ") + it->type_name(),
                                       &*it);
    // A weight beyond 32 bits cannot be converted safely: it is clamped instead.
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    if (it->is_number_float()) {
        const double w = it->get<double>();
        weight = w != w ? 0 : w <= kMin ? std::numeric_limits<int32_t>::min()
                             : w >= kMax ? std::numeric_limits<int32_t>::max()
                                         : static_cast<int32_t>(w);
    } else if (it->is_number_unsigned()) {
        const auto w = it->get<uint64_t>();
        weight = w > static_cast<uint64_t>(kMax) ? std::numeric_limits<int32_t>::max()
                                                 : static_cast<int32_t>(w);
    } else {
        const auto w = it->get<int64_t>();
        weight = w < kMin   ? std::numeric_limits<int32_t>::min()
                 : w > kMax ? std::numeric_limits<int32_t>::max()
                            : static_cast<int32_t>(w);
    }
}

uint32_t Upstream::parse_rate(const std::string& rate) {
    char* rest = nullptr;
    const unsigned long n = std::strtoul(rate.c_str(), &rest, 10);
    if (n == 0 || rest[0] != 'r' || rest[1] != '/') return 0;
    if (rest[2] == 's') return static_cast<uint32_t>(1000UL / n);
    if (rest[2] == 'm') return static_cast<uint32_t>(60000UL / n);
    return 0;
}

Upstream::Upstream(const json& value) {
    (void)value.value("balancing", std::string("round-robin"));  // read for its type check only
    rate_interval_ms = parse_rate(value.value("rate", std::string("0r/s")));
    for (const auto& [key, member] : value.items())
        if (member.is_object()) servers.emplace(key, Server(member, key));
}

ProxyConfig::ProxyConfig(const json& section) : listen(section.at("listen").get<std::string>()) {
    const json masks = section.value("locations", json());
    if (!masks.is_null() && !masks.is_object())
        throw json::type_error::create(302, std::string("type must be object, but is ") + masks.type_name(),
                                       &masks);
    for (const auto& [mask, name] : masks.items()) locations.emplace(mask, name.get<std::string>());
    for (const auto& [key, member] : section.items())
        if (member.is_object() && key.find('@') != std::string::npos) upstreams.emplace(key, Upstream(member));
}

}  // namespace config
