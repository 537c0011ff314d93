#include "rules/vex-route-rule.hpp"

#include "common/syslog.hpp"
#include "rules/jwt.hpp"
#include "rules/route-token-parser.hpp"
#include "topology/topology-data-info.hpp"

namespace {
constexpr std::string_view kVexRoute = "VEX-ROUTE";
}

Result VexRouteRule::get_route(const Request& request) const {
    if (!is_enabled() || !has_single_header(kVexRoute, request)) return Result(Result::Skip);

    const Jwt jwt(get_header(request.fields, kVexRoute));
    if (!jwt.is_valid()) {
        log_rule(3, request, jwt.get_last_error());
        return Result(Result::Skip);
    }
    log_rule(11, request, "jwt parse successful");

    RouteTokenParser parser(get_mav_root());
    if (!parser.parse(jwt.get())) {
        log_rule(3, request, parser.error);
        return error({"unsupported route token playload format"});
    }

    const auto topology = get_topology();
    if (!topology) return error({"topology not loaded"});
    const auto p = parser.get();
    const Contour* c = topology->get_by_path(p);
    if (!c) return error({"contour '", p, "' not found in topology"});

    // The token may already have moved from a master node in REPAIR to its slave; this is
    // the router's own view of the chosen node's mode.
    const auto& config = get_config();
    const auto action = config.find("actionIfRepair");
    if (action != config.end()) {
        if (!action->is_string()) action->get<std::string>();  // the library's type error
        if (action->get_ref<const std::string&>() == "slave" && c->mode == Contour::REPAIR) {
            const std::string_view s = c->slave;
            c = topology->get_by_path(s);
            if (!c) return error({"reserve contour '", s, "' not foud"});
        }
    }
    return route(c->path, request.target);
}
