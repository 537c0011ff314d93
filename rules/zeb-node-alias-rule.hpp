#pragma once
#include <optional>
#include <string_view>

#include "rules/rule.hpp"

// Picks the cluster by the first segment of the request path through its "routing" table
// and the node by a hash of the client's identity; answers the target without that segment.
class ZebNodeAliasRule : public Rule {
public:
    static constexpr std::string_view kName = "ZebNodeAlias";

    explicit ZebNodeAliasRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }

    // Subsystem code and tenant, else the client address, else the first forwarded-for
    // address; nothing when no field qualifies. A joined key lives in a per-thread scratch
    // text until the next call on the same thread.
    std::optional<std::string_view> get_hash_key(const Request& request) const;
};
