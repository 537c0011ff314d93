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
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "common/process.hpp"
#include "config/config.hpp"
#include "config/proxy-config.hpp"
#include "network/http_client.hpp"
#include "network/http_server.hpp"
#include "network/listener.hpp"
#include "network/namespaces.hpp"
#include "network/url.hpp"

class RouterConfig;

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

// The proxy role: one child process per proxy section, named by the section's key. The
// configuration is only read here; in the child it never changes, so what `open` takes from
// it (the section, the gateway type, the router section, the TLS settings) holds for the
// process's whole life.
class Proxy : public framework::Process {
public:
    using Listener = framework::Listener<net::ip::tcp>;

    // Keeps `config`, which must outlive the object; handles SIGTERM.
    Proxy(const Config& config, std::string_view name);

    // Opens the listener and builds the upstreams, then runs the event loop on as many
    // threads as the machine has; returns when SIGTERM has closed the listener and the last
    // connection has finished. Throws "config is unavailable" without a section.
    int main() override;
    // SIGTERM: stops accepting; connections under way finish with their answers.
    void on_stop() override;

    // What `main` does before running the loop: listens (IPv4, the address the section's
    // "listen" URL resolved to, backlog 128) and builds one Upstream per upstream of the
    // section, in key order. Throws for a missing section and a failed listen.
    void open();
    // The listener's callback: a Worker over plain TCP or TLS, as the listen URL says.
    void on_accept(net::ip::tcp::socket&& socket);

    // The section of this proxy; throws std::runtime_error "config is unavailable".
    const config::ProxyConfig* get_config() const;
    // The decision by location mask for the target as received (query included).
    Route get_route(boost::string_view target, const net::ip::address& client,
                    std::string_view name) const;
    // The decision within one upstream: rate limit, then round-robin.
    Route get_route(const Upstream& upstream, const net::ip::address& client,
                    std::string_view name) const;
    // "version", "uptime", "work_dir", "pid_file", "objects" (live connections and outgoing
    // requests less the one asking) and the counters of every peer that has any.
    nlohmann::json get_status() const;

    const Upstream* find_upstream(std::string_view key) const;
    bool is_zeb() const { return zeb_; }
    // The router's section on a ZEB gateway, null when there is none.
    const RouterConfig* get_router() const { return router_.get(); }
    const nlohmann::json& get_server_ssl() const { return *server_ssl_; }
    const nlohmann::json& get_client_ssl() const { return *client_ssl_; }
    const Upstreams& get_upstreams() const { return upstreams; }

    std::shared_ptr<Listener> listener;
    Upstreams upstreams;
    const Config* config;

private:
    std::shared_ptr<config::ProxyConfig> section_;
    std::shared_ptr<RouterConfig> router_;
    const nlohmann::json* server_ssl_ = &k_empty_json;
    const nlohmann::json* client_ssl_ = &k_empty_json;
    bool zeb_ = false;
};

// One client connection of a proxy: reads the request, answers the status document or
// routes the request (by mask, or by asking the router on a ZEB gateway), relays it to the
// chosen server and the server's answer back, and counts every answer under that server.
//
// Everything that touches the connection runs on its strand: the hooks, the router's and the
// server's answers (handed over from the outgoing request's own strand) and the time limit,
// so `peer` needs no lock and the connection answers exactly once.
template <class S>
class Worker : public framework::HttpServerT<S> {
public:
    using base_type = framework::HttpServerT<S>;
    using typename base_type::parser_type;
    using typename base_type::response_type;
    using request_type = framework::HttpxClient::request_type;

    static constexpr std::string_view kStatusTarget = "/proxy/status";

    // `args` are the transport's: the accepted socket (and the server TLS settings).
    template <class... Args>
    explicit Worker(Proxy& owner, Args&&... args)
        : base_type(std::forward<Args>(args)...), owner(&owner) {}
    ~Worker() override = default;

    using base_type::respond;
    // The proxy's own answer (text/plain, "no-store", "Connection: close"), counted under
    // the chosen server's own answers when one was chosen and the answer was made.
    bool respond(http::status status);
    bool respond(http::status status, const std::string& body);

    // Relays `req` to `url` (TLS when the URL is https); the answer comes to on_response.
    void forward(const framework::Url& url, request_type&& req);
    // The server's answer (or the made-up 503): counted, then relayed unless answered already.
    void on_response(response_type&& res);

    std::shared_ptr<Worker> shared_from_this() {
        return std::static_pointer_cast<Worker>(base_type::shared_from_this());
    }

protected:
    void on_header(boost::string_view name, boost::string_view value) override;
    void on_request(parser_type& parser) override;
    void on_timeout() override;

private:
    void route_by_router(const request_type& req);
    void on_zeb_route(response_type&& answer);
    net::ip::address client_address();

    Peer* peer = nullptr;  // the server chosen for this request, owned by the proxy
    Proxy* owner;
};

extern template class Worker<framework::TcpSession>;
extern template class Worker<framework::TlsSession>;

}  // namespace proxy
