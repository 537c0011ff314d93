#include "rules/vex-tenant-rule.hpp"

#include <string>

#include "topology/topology-data-info.hpp"

namespace {

constexpr std::string_view kVexTenant = "VEX-TENANT";
constexpr std::string_view kVexSubsystemCode = "VEX-SUBSYSTEMCODE";

}  // namespace

std::string_view VexTenantRule::get_hash_key(const Request& request) const {
    // Tenant first: the opposite order to the node-alias rule.
    thread_local std::string key;
    key.assign(get_header(request.fields, kVexTenant));
    key.append(get_header(request.fields, kVexSubsystemCode));
    return key;
}

Result VexTenantRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kVexTenant, request) ||
        !has_single_header(kVexSubsystemCode, request))
        return Result(Result::Skip);
    const auto t = get_header(request.fields, kVexTenant);
    const auto cluster = find_path(t);
    if (!cluster) return error({"cluster '", t, "' not found in routing table"});
    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const auto key = get_hash_key(request);
    const auto node = topology->get_by_hash(*cluster, key);
    if (!node) return error({"contour key '", key, "' not found in '", *cluster, "' cluster"});
    return route(*node, request.target);
}
