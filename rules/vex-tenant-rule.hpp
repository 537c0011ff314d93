#pragma once
#include <string_view>

#include "rules/rule.hpp"

// Picks the cluster by the tenant in "VEX-TENANT" through its "routing" table and the node
// by the hash of tenant and subsystem code.
class VexTenantRule : public Rule {
public:
    static constexpr std::string_view kName = "VexTenant";

    explicit VexTenantRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }

    // Tenant followed by subsystem code, in a per-thread scratch text until the next call on
    // the same thread.
    std::string_view get_hash_key(const Request& request) const;
};
