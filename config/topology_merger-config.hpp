#pragma once
// The topology merger's section of the configuration document: where the merger listens,
// which topology services it polls and how often, the filter that reads their answers (and
// the cache files), and the cache files it keeps. Built once per load by the Settings
// constructor and shared by pointer with the merger role; never changed after.
#include <cstdint>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "common/json_filter.hpp"
#include "network/url.hpp"

class TopologyMergerConfig {
public:
    // Builds the section from the whole document. Throws "is off" when the document has no
    // "topology_merger" member, and the JSON library's error for a missing "listen" or
    // "filter" or a mistyped key. The client URLs are kept as written, without duplicates.
    explicit TopologyMergerConfig(const nlohmann::json& document);
    TopologyMergerConfig(const TopologyMergerConfig&) = delete;
    TopologyMergerConfig& operator=(const TopologyMergerConfig&) = delete;

    framework::Url listen;
    // Poll period of every client; three periods are the freshness limit of the merge.
    uint32_t update_period_in_sec = 5;
    // The cache files (current, previous) and the initial file; empty: not used.
    std::string topology_initial;
    std::string topology_cache_current;
    std::string topology_cache_previous;
    json_tools::filter::Node filter;
    // The topology services' URL texts, in ascending byte order.
    std::set<std::string> clients;
};
