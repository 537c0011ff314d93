#include "rules/vex-operation-id-rule.hpp"

#include "topology/topology-data-info.hpp"

namespace {
constexpr std::string_view kVexOperationId = "VEX-OPERATION-ID";
}

Result VexOperationIdRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kVexOperationId, request))
        return Result(Result::Skip);
    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const auto v = get_header(request.fields, kVexOperationId);
    const Contour* c = topology->get_by_path(v);
    if (!c) return error({"contour '", v, "' not found"});
    if (c->mode == Contour::REPAIR) {
        // One step only: the reserve node's own mode is not looked at.
        const std::string_view s = c->slave;
        c = topology->get_by_path(s);
        if (!c) return error({"reserve contour '", s, "' not found"});
    }
    return route(c->path, request.target);
}
