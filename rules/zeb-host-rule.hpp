#pragma once
#include <optional>
#include <string_view>

#include "rules/rule.hpp"

// Picks the cluster by the host name in "X-Zeb-Host" (the first prefix of its "routing"
// table in key order decides) and the node by the hash of the fields listed in "hash".
class ZebHostRule : public Rule {
public:
    static constexpr std::string_view kName = "ZebHost";

    explicit ZebHostRule(const RuleOwner& owner) : Rule(owner, kName) {}
    Result get_route(const Request& request) const override;
    std::string_view get_name() const override { return kName; }

    // The cluster for the request's "X-Zeb-Host", a view into the settings. Throws the JSON
    // library's error when "routing" is missing or the deciding value is not a string.
    std::optional<std::string_view> find_cluster(const Request& request) const;
    // The values of the single fields listed in "hash", joined; possibly empty. The view
    // lives in a per-thread scratch text until the next call on the same thread.
    std::optional<std::string_view> get_hash_key(const Request& request) const;
};
