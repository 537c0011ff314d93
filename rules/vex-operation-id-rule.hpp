#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Routes to the node named by the request field "VEX-OPERATION-ID"; a node in REPAIR is
// replaced by its reserve node (one step only).
class VexOperationIdRule : public Rule {
public:
    static constexpr std::string_view kName = "VexOperationId";

    explicit VexOperationIdRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
