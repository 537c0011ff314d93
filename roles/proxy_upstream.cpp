#include "roles/proxy_upstream.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>

#include "common/syslog.hpp"
#include "common/wildcard.hpp"

namespace proxy {

using framework::Syslog;

int64_t Upstream::steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Upstream::Upstream(const config::Upstream& settings, Clock clock)
    : interval_ms_(settings.rate_interval_ms), clock_(clock) {
    for (const auto& [key, server] : settings.servers)
        peers_.emplace(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(server));
}

Peer* Upstream::next() const {
    std::lock_guard guard(lock_);
    return pick();
}

Peer* Upstream::pick() const {
    Peer* best = nullptr;
    int64_t total = 0;
    for (auto& [key, peer] : peers_) {
        const int64_t step = static_cast<int64_t>(std::max<int32_t>(peer.weight, 0)) * 200;
        peer.current += step;
        total += step;
        if (!best || peer.current > best->current) best = &peer;
    }
    if (best) best->current -= total;
    return best;
}

Route Upstream::get_route(const net::ip::address& client, std::string_view name) const {
    std::lock_guard guard(lock_);
    if (interval_ms_ == 0) return {http::status::service_unavailable, pick()};

    const int64_t now = clock_();
    const auto v4 = client.to_v4();  // throws bad_address_cast for IPv6
    Bucket& bucket = buckets_[v4.to_uint()];
    if (!bucket.used || now - bucket.last >= static_cast<int64_t>(interval_ms_)) {
        Peer* peer = pick();
        if (!peer) {
            Syslog::log(Syslog::kWarning, "%.*s: unable to route", static_cast<int>(name.size()), name.data());
            return {http::status::not_found, nullptr};
        }
        bucket.last = now;
        bucket.used = true;
        return {http::status::ok, peer};
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto bytes = v4.to_bytes();
    inet_ntop(AF_INET, bytes.data(), text, sizeof text);
    Syslog::log(Syslog::kWarning, "%.*s: too many requests from %s", static_cast<int>(name.size()), name.data(), text);
    return {http::status::too_many_requests, nullptr};
}

Route route_by_mask(const std::map<std::string, std::string>& locations, const Upstreams& upstreams,
                    std::string_view target, const net::ip::address& client, std::string_view name) {
    for (const auto& [mask, key] : locations) {
        if (!framework::Wildcard::is_match(mask, target)) continue;
        const auto it = upstreams.find(key);
        if (it == upstreams.end()) continue;
        Syslog::log(Syslog::kInfo, "%.*s: using %s by mask %s", static_cast<int>(name.size()), name.data(), key.c_str(),
                    mask.c_str());
        return it->second.get_route(client, name);
    }
    Syslog::log(Syslog::kWarning, "%.*s: unable to route", static_cast<int>(name.size()), name.data());
    return {http::status::not_found, nullptr};
}

void add_counters(nlohmann::json& doc, const Upstreams& upstreams) {
    for (const auto& [ukey, upstream] : upstreams) {
        for (const auto& [pkey, peer] : upstream.get_peers()) {
            peer.stats.for_each_upstream(
                [&](unsigned status, unsigned n) { doc[ukey][pkey][std::to_string(status)] = n; });
            peer.stats.for_each_proxy([&](unsigned status, unsigned n) {
                doc[ukey][pkey]["proxy"][std::to_string(status)] = n;
            });
        }
    }
}

}  // namespace proxy
