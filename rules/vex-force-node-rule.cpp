#include "rules/vex-force-node-rule.hpp"

#include "topology/topology-data-info.hpp"

Result VexForceNodeRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(field, request)) return Result(Result::Skip);
    const auto topology = get_topology();
    const auto v = get_header(request.fields, field);
    if (!topology) return error({"topology not loaded"});
    const Contour* c = topology->get_by_path(v);
    if (!c) return error({"contour '", v, "' not found in topology"});
    if (refuse_repair && c->mode == Contour::REPAIR)
        return error({"contour '", v, "' in REPAIR state"}, boost::beast::http::status::forbidden);
    return route(c->path, request.target);
}
