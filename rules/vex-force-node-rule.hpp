#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Routes to the node named by the request field "VEX-FORCE-NODE" (full path or alias),
// whatever the node's mode.
class VexForceNodeRule : public Rule {
public:
    static constexpr std::string_view kName = "VexForceNode";

    explicit VexForceNodeRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
