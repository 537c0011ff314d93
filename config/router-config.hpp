#pragma once
// The router's section of the configuration document: its listen address, the topology
// source with its filter and polling period, the route-token service address and the
// settings of every rule of the chain. Built once per load by the Settings constructor and
// shared by pointer with the router role, its rules and the proxies; never changed after.
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/json_filter.hpp"
#include "network/url.hpp"

class RouterConfig {
public:
    // Builds the section from the whole document. Throws "is off" when the document has no
    // "router" member, and the JSON library's error for a missing or mistyped key.
    explicit RouterConfig(const nlohmann::json& document);
    RouterConfig(const RouterConfig&) = delete;
    RouterConfig& operator=(const RouterConfig&) = delete;

    // The stored settings of the rule `name`, or an empty object when there are none. The
    // reference lives as long as the section.
    const nlohmann::json& get_rule_config(std::string_view name) const;

    framework::Url listen;
    // Rule name to its settings; an enabled rule always has "routing" (object) and "hash"
    // (array). Disabled rules are stored as written.
    std::map<std::string, nlohmann::json, std::less<>> rules;
    framework::Url topology_url;
    int update_period_sec = 5;
    json_tools::filter::Node filter;
    // Required by the section although no role reads it.
    framework::Url route_token_url;
};
