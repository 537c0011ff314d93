#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Routes by the route token in the request field "VEX-ROUTE": the token names the node for
// the platform root; with "actionIfRepair": "slave" a node in REPAIR is replaced by its
// reserve node. A token whose envelope is invalid makes the rule skip.
class VexRouteRule : public Rule {
public:
    static constexpr std::string_view kName = "VexRoute";

    explicit VexRouteRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
