#pragma once
#include <string_view>

#include "rules/vex-force-node-rule.hpp"

// Routes to the node named by the request field "VEX-GO-NODE" as VexForceNode does, but a
// node in REPAIR is refused with 403.
class VexGoNodeRule : public VexForceNodeRule {
public:
    static constexpr std::string_view kName = "VexGoNode";
    static constexpr std::string_view kField = "VEX-GO-NODE";

    explicit VexGoNodeRule(const RuleOwner& owner) : VexForceNodeRule(owner, kName, kField, true) {}
    std::string_view get_name() const override { return kName; }
};
