#pragma once
// The proxy role: listens on its section's address, routes each request by location mask or,
// on a ZEB gateway, by asking the router, applies the upstream's per-client rate limit, picks a
// server by smooth weighted round-robin and relays the request to it and the answer back.
//
// The live state that the connections share is one `Upstream` per upstream of the section:
// its peers with their round-robin state and reply counters, and the rate-limit buckets. The
// maps themselves never change after start; a route decision takes its upstream's mutex for a
// few hundred nanoseconds, and a counted answer takes only its peer's counter lock.
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "config/proxy-config.hpp"
#include "network/namespaces.hpp"
#include "network/url.hpp"

namespace proxy {

// Reply counters of one peer, by status. Lockable: `lock` for a count, `lock_shared` to read.
class Stats {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    void lock_shared() const { mutex_.lock_shared(); }
    void unlock_shared() const { mutex_.unlock_shared(); }

    void count_proxy(http::status status);
    void count_upstream(http::status status);

    std::map<http::status, unsigned> proxy;     // answers the proxy made itself for this peer
    std::map<http::status, unsigned> upstream;  // answers of the server relayed to clients

private:
    mutable std::shared_mutex mutex_;
};

// One server of an upstream.
struct Peer {
    explicit Peer(const config::Server& server) : url(server.url), weight(server.weight) {}

    framework::Url url;  // resolved when the configuration was loaded
    int32_t weight;
    Stats stats;
    int64_t current = 0;  // round-robin state, under the upstream's lock
};

using Route = std::pair<http::status, Peer*>;

// One upstream: its peers in byte order of their URLs, its rate limit and the buckets of the
// client addresses it has seen.
class Upstream {
public:
    // Milliseconds of a monotonic clock; replaceable so the rate limit can be tested.
    using Clock = int64_t (*)();
    static int64_t steady_ms();

    struct Bucket {
        int64_t last = 0;   // the last accepted request of the address
        bool used = false;  // a request of the address was accepted before
    };

    explicit Upstream(const config::Upstream& settings, Clock clock = &Upstream::steady_ms);
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;

    // Smooth weighted round-robin over the peers; null without peers. Call with `lock` held.
    // Steps are computed in 64 bits and a negative weight counts as 0.
    Peer* get() const;

    // The decision within this upstream: without a rate limit {503, get()} (the 503 stands
    // for "no peer"); with one, {200, peer}, {404, null} without servers, or {429, null} for
    // a client address whose previous accepted request is less than the interval ago. A client
    // address seen for the first time is always accepted. Throws std::bad_cast ("bad address
    // cast") for a client that is not IPv4 when there is a rate limit. `name` prefixes the log lines.
    Route get_route(const net::ip::address& client, std::string_view name) const;

    mutable std::mutex lock;
    mutable std::unordered_map<uint32_t, Bucket> buckets;  // host byte order keys
    mutable std::map<std::string, Peer, std::less<>> peers;
    uint32_t interval_ms;
    Clock clock;
};

using Upstreams = std::map<std::string, Upstream, std::less<>>;

// The decision by location mask: the masks are tried in key order against the whole target,
// and the first that matches and names an existing upstream decides (within that upstream);
// {404, null} when none does.
Route route_by_mask(const std::map<std::string, std::string>& locations, const Upstreams& upstreams,
                    std::string_view target, const net::ip::address& client, std::string_view name);

// Adds the counters of every peer that has any to `doc`: doc[upstream][peer][status] for relayed
// answers and doc[upstream][peer]["proxy"][status] for the proxy's own.
void add_counters(nlohmann::json& doc, const Upstreams& upstreams);

}  // namespace proxy
