#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Routes to the node named by the request field "VEX-FORCE-NODE" (full path or alias),
// whatever the node's mode.
class VexForceNodeRule : public Rule {
public:
    static constexpr std::string_view kName = "VexForceNode";
    static constexpr std::string_view kField = "VEX-FORCE-NODE";

    explicit VexForceNodeRule(const RuleOwner& owner)
        : VexForceNodeRule(owner, kName, kField, false) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }

protected:
    // A rule of this kind named `name` that takes the node from the field `field`; with
    // `refuse_repair`, a node in REPAIR is refused with 403 instead of routed to.
    VexForceNodeRule(const RuleOwner& owner, std::string_view name, std::string_view field,
                     bool refuse_repair)
        : Rule(owner, name), field(field), refuse_repair(refuse_repair) {}

private:
    const std::string_view field;
    const bool refuse_repair;
};
