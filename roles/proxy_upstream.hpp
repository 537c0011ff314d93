#pragma once
// The upstream side of a proxy: the servers of each upstream with their smooth weighted
// round-robin state and reply counters, the per-client rate limit, and the decision by
// location mask. The maps never change after start; a route decision takes its upstream's
// mutex for a few hundred nanoseconds, and a counted answer is one atomic increment.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/status.hpp>
#include <nlohmann/json.hpp>

#include "config/proxy-config.hpp"
#include "network/namespaces.hpp"
#include "network/url.hpp"

namespace proxy {

// Reply counters of one peer, by status: one relaxed atomic per status code, so the loops
// that count answers of the same peer never wait for each other.
class Stats {
public:
    static constexpr unsigned kStatuses = 1000;  // a status line has three digits

    void count_proxy(http::status status) { bump(proxy_, status); }
    void count_upstream(http::status status) { bump(upstream_, status); }

    // Calls fn(status, count) for every status counted at least once, in increasing order.
    template <class Fn>
    void for_each_proxy(Fn&& fn) const { visit(proxy_, fn); }
    template <class Fn>
    void for_each_upstream(Fn&& fn) const { visit(upstream_, fn); }

private:
    using Counters = std::array<std::atomic<unsigned>, kStatuses>;

    static void bump(Counters& counters, http::status status) {
        const auto code = static_cast<unsigned>(status);
        if (code < kStatuses) counters[code].fetch_add(1, std::memory_order_relaxed);
    }
    template <class Fn>
    static void visit(const Counters& counters, Fn& fn) {
        for (unsigned code = 0; code < kStatuses; ++code)
            if (const unsigned n = counters[code].load(std::memory_order_relaxed)) fn(code, n);
    }

    Counters proxy_{};     // answers the proxy made itself for this peer
    Counters upstream_{};  // answers of the server relayed to clients
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

    // Smooth weighted round-robin over the peers, under the upstream's lock; null without
    // peers. Steps are computed in 64 bits and a negative weight counts as 0.
    Peer* next() const;

    // The decision within this upstream: without a rate limit {503, next()} (the 503 stands
    // for "no peer"); with one, {200, peer}, {404, null} without servers, or {429, null} for
    // a client address whose previous accepted request is less than the interval ago. A client
    // address seen for the first time is always accepted. Throws std::bad_cast ("bad address
    // cast") for a client that is not IPv4 when there is a rate limit. `name` prefixes the log lines.
    Route get_route(const net::ip::address& client, std::string_view name) const;

    // The peers in byte order of their URLs; the map never changes after construction.
    const std::map<std::string, Peer, std::less<>>& get_peers() const { return peers_; }

private:
    // next() with `lock_` held.
    Peer* pick() const;

    mutable std::mutex lock_;
    mutable std::unordered_map<uint32_t, Bucket> buckets_;  // host byte order keys
    // Mutable for the round-robin state and the counters; the set of peers is fixed.
    mutable std::map<std::string, Peer, std::less<>> peers_;
    uint32_t interval_ms_;
    Clock clock_;
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
