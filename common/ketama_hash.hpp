#pragma once
// Consistent-hash ring of weighted server names over MD5 (the ketama scheme): each server
// owns points on a 32-bit circle in proportion to its weight, and a key belongs to the server
// owning the first point at or after the key's hash. Equal inputs give equal rings in every
// process, so every router instance sends a key to the same node.
//
// Build once (add_server for every server, then create_continuum), then look up from any
// number of threads: look-ups are const and touch no shared mutable state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Ketama {
public:
    struct mcs_type {
        std::uint32_t point = 0;
        std::int32_t server = 0;  // index into `servers`
    };

    struct server_type {
        std::string name;
        std::uint64_t weight = 0;
    };

    // Appends a server; an empty name is ignored. Duplicates are not checked.
    void add_server(std::string_view name, std::uint64_t weight);

    // Builds the ring from the servers added so far. False when there are no servers; true
    // otherwise, even when no point was made (all weights 0).
    bool create_continuum();

    // The point owning `key`; null when the ring is empty.
    const mcs_type* get_continuum_point(std::string_view key) const;

    // The name of the server owning `key`; empty when there is no point. The view refers into
    // the ring and lives as long as the ring.
    std::string_view get_server(std::string_view key) const;

    // MD5 of the bytes, first four digest bytes read little-endian.
    std::uint32_t hashi(const char* text, std::size_t length) const;

    std::vector<mcs_type> continuum;
    std::vector<server_type> servers;
    std::uint64_t total_weight = 0;
};
