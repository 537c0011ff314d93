#pragma once
#include <string_view>

#include "rules/rule.hpp"

// The end of the chain: always enabled, refuses every request that reaches it.
class ErrorRule : public Rule {
public:
    static constexpr std::string_view kName = "NoRoute_Error404";

    explicit ErrorRule(const RuleOwner& owner) : Rule(owner, kName) {}
    bool is_enabled() const override { return true; }
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }
};
