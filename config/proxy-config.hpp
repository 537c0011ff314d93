#pragma once
// One proxy section of the configuration: the listen address, the location masks and the
// upstreams with their servers. Built once from the section's JSON object and then only read;
// shared by pointer with the proxy role that serves it.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "network/url.hpp"

namespace config {

// One upstream server: its URL (the member's key, resolved when the section is built) and its
// weight in the round-robin.
struct Server {
    // `value` is the server's object, `key` its URL text. Throws the JSON library's type error
    // for a "weight" that is not a number; weights beyond 32 bits are clamped.
    Server(const nlohmann::json& value, std::string_view key);

    framework::Url url;
    int32_t weight = 1;
};

// One upstream: its servers by URL text, its balancing method and its per-client rate limit.
struct Upstream {
    enum Balancing : uint32_t { kRoundRobin = 0 };

    // Throws the JSON library's type error for a "balancing" or "rate" that is not a string
    // and for a server that fails.
    explicit Upstream(const nlohmann::json& value);

    // "10r/s" gives 100, "10r/m" 6000; anything else (and a quotient below 1 ms) gives 0.
    static uint32_t parse_rate(const std::string& rate);

    std::map<std::string, Server> servers;
    uint32_t balancing = kRoundRobin;  // every method balances round-robin
    uint32_t rate_interval_ms = 0;     // least time between two accepted requests of a client; 0: no limit
};

// One proxy section.
struct ProxyConfig {
    // Throws when "listen" is missing or not a string, and for any member of the wrong type.
    explicit ProxyConfig(const nlohmann::json& section);

    framework::Url listen;
    std::map<std::string, std::string> locations;  // mask to upstream key, tried in key order
    std::map<std::string, Upstream> upstreams;     // "@" keys
};

}  // namespace config
