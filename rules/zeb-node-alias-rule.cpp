#include "rules/zeb-node-alias-rule.hpp"

#include <string>

#include "topology/topology-data-info.hpp"

namespace {

constexpr std::string_view kVexTenant = "VEX-TENANT";
constexpr std::string_view kVexSubsystemCode = "VEX-SUBSYSTEMCODE";
constexpr std::string_view kVexClientIp = "VEX-CLIENT-IP";
constexpr std::string_view kXForwardedFor = "X-FORWARDED-FOR";

}  // namespace

std::optional<std::string_view> ZebNodeAliasRule::get_hash_key(const Request& request) const {
    // Short-circuit: with a single tenant the subsystem code is not tested (nor logged).
    if (has_single_header(kVexTenant, request) || has_single_header(kVexSubsystemCode, request)) {
        thread_local std::string key;
        key.assign(get_header(request.fields, kVexSubsystemCode));
        key.append(get_header(request.fields, kVexTenant));
        return std::string_view(key);
    }
    if (has_single_header(kVexClientIp, request)) return get_header(request.fields, kVexClientIp);
    if (has_single_header(kXForwardedFor, request)) {
        const auto v = get_header(request.fields, kXForwardedFor);
        return v.substr(0, v.find(','));  // nothing trimmed
    }
    return std::nullopt;
}

Result ZebNodeAliasRule::get_route(const Request& request) const {
    if (!is_enabled()) return Result(Result::Skip);
    // The target without its first character (the leading '/'); an empty target gives an
    // empty location. Its first segment names the cluster and the rest is the answer's url.
    const std::string_view target = request.target;
    const std::string_view location = target.empty() ? target : target.substr(1);
    const size_t slash = location.find('/');
    const std::string_view first = location.substr(0, slash);
    const std::string_view url =
        slash == std::string_view::npos ? std::string_view() : location.substr(slash);

    const auto cluster = find_path(first);
    if (!cluster) return Result(Result::Skip);
    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const auto key = get_hash_key(request);
    if (!key) return error({"not enough header(s) for hash-key"});
    const auto node = topology->get_by_hash(*cluster, *key);
    if (!node) return error({"contour key '", *key, "' not found in '", *cluster, "' cluster"});
    return route(*node, url);
}
