#include "rules/compatibility-19-4-rule.hpp"

#include "topology/topology-data-info.hpp"

namespace {
constexpr std::string_view kVexSrcField = "VEX-SRC-FIELD";
constexpr std::string_view kVexTenant = "VEX-TENANT";
}  // namespace

Result Compatibility194Rule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kVexSrcField, request)) return Result(Result::Skip);
    // Requests that carry one tenant belong to the tenant rules.
    if (has_single_header(kVexTenant, request)) return Result(Result::Skip);
    // The routing table is looked at before the snapshot.
    const auto p = find_path(get_header(request.fields, kVexSrcField));
    if (!p) return error({"contour not found in routing table"});
    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const Contour* c = topology->get_by_path(*p);
    if (!c) return error({"contour '", *p, "' not found"});
    if (c->mode == Contour::REPAIR) {
        const std::string_view s = c->slave;
        c = topology->get_by_path(s);
        if (!c) return error({"reserve contour '", s, "' not found"});
    }
    return route(c->path, request.target);
}
