#include "rules/vex-force-node-rule.hpp"

#include "topology/topology-data-info.hpp"

namespace {
constexpr std::string_view kVexForceNode = "VEX-FORCE-NODE";
}

Result VexForceNodeRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kVexForceNode, request)) return Result(Result::Skip);
    const auto topology = get_topology();
    const auto v = get_header(request.fields, kVexForceNode);
    if (!topology) return error({"topology not loaded"});
    const Contour* c = topology->get_by_path(v);
    if (!c) return error({"contour '", v, "' not found in topology"});
    return route(c->path, request.target);
}
