#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Routes to the node named by the request field "VEX-GO-NODE"; a node in REPAIR is
// refused with 403.
class VexGoNodeRule : public Rule {
public:
    static constexpr std::string_view kName = "VexGoNode";

    explicit VexGoNodeRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
