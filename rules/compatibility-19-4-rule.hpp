#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Maps the value of "VEX-SRC-FIELD" to a node path through its "routing" table, for
// requests without a single "VEX-TENANT"; a node in REPAIR is replaced by its reserve node.
class Compatibility194Rule : public Rule {
public:
    static constexpr std::string_view kName = "Compat_19.4";

    explicit Compatibility194Rule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
