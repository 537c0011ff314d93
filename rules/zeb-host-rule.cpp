#include "rules/zeb-host-rule.hpp"

#include <cctype>
#include <string>

#include "topology/topology-data-info.hpp"

namespace {

constexpr std::string_view kHost = "X-Zeb-Host";
constexpr std::string_view kVexTenant = "VEX-TENANT";

// `prefix` equals the first bytes of `text`, ASCII case ignored; prefix.size() <= text.size().
bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

std::optional<std::string_view> ZebHostRule::find_cluster(const Request& request) const {
    const auto host = get_header(request.fields, kHost);
    const auto& routing = get_config().at("routing");
    // The first prefix in key order decides, not the longest one.
    for (auto it = routing.begin(); it != routing.end(); ++it) {
        const std::string& name = it.key();
        if (name.size() > host.size() || !starts_with_nocase(host, name)) continue;
        if (host.size() == name.size() || (host[name.size()] != '.' && host[name.size()] != '-'))
            return std::nullopt;
        // get<std::string>() raises the library's type error for a value of another type.
        if (!it->is_string()) it->get<std::string>();
        return std::string_view(it->get_ref<const std::string&>());
    }
    return std::nullopt;
}

std::optional<std::string_view> ZebHostRule::get_hash_key(const Request& request) const {
    thread_local std::string key;
    key.clear();
    // A single string counts as one element and an object gives its values: the way the
    // JSON type iterates.
    for (const auto& n : get_config().at("hash")) {
        if (!n.is_string()) continue;
        const auto& name = n.get_ref<const std::string&>();
        if (has_single_header(name, request)) key.append(get_header(request.fields, name));
    }
    return std::string_view(key);
}

Result ZebHostRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kHost, request) ||
        !has_single_header(kVexTenant, request))
        return Result(Result::Skip);
    const auto cluster = find_cluster(request);
    if (!cluster) return Result(Result::Skip);
    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const auto key = *get_hash_key(request);
    const auto node = topology->get_by_hash(*cluster, key);
    if (!node) return error({"contour key '", key, "' not found in '", *cluster, "' cluster"});
    return route(*node, request.target);
}
