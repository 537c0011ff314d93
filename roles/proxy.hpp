#pragma once
// The proxy role: listens on its section's address, routes each request by location mask or,
// on a ZEB gateway, by asking the router, applies the upstream's per-client rate limit, picks a
// server by smooth weighted round-robin and relays the request to it and the answer back.
//
// The live state that the connections share is one `Upstream` per upstream of the section:
// its peers with their round-robin state and reply counters, and the rate-limit buckets. The
// maps themselves never change after start; a route decision takes its upstream's mutex for a
// few hundred nanoseconds, and a counted answer is one atomic increment of its peer's counters.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

    // Opens the listeners and builds the upstreams, then serves on as many loops as the
    // machine has threads; returns when SIGTERM has closed the listeners and the last
    // connection has finished. Throws "config is unavailable" without a section.
    int main() override;
    // SIGTERM: stops accepting; connections under way finish with their answers.
    void on_stop() override;

    // What `main` does before serving: builds one Upstream per upstream of the section, in
    // key order, and opens `loops` listeners (IPv4, the address the section's "listen" URL
    // resolved to, backlog 128, all on one port through SO_REUSEPORT): the first on the
    // process's own loop, each other one on a loop of its own. A connection lives on the
    // loop that accepted it, with its outgoing requests and timers, so connections share
    // only the upstreams. Throws for a missing section and a failed listen.
    void open(unsigned loops = 1);
    // Runs every loop on a thread of its own, the process's loop on the calling thread, and
    // joins them. An exception out of a loop is logged ("%s: run: %s") and the loop goes on,
    // so its listener is never left unserved. Returns 0.
    int serve();
    // The listener's callback: a Worker over plain TCP or TLS, as the listen URL says, for
    // the client at `peer`.
    void on_accept(net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint& peer);

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

private:
    // The loops besides the process's own; declared first, so they outlive what runs on them.
    std::vector<std::unique_ptr<net::io_context>> loops_;

public:
    std::vector<std::shared_ptr<Listener>> listeners;  // one per loop, in loop order
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

    // `client` is the connection's remote address; `args` are the transport's: the accepted
    // socket (and the server TLS settings).
    template <class... Args>
    Worker(Proxy& owner, const net::ip::address& client, Args&&... args)
        : base_type(std::forward<Args>(args)...), owner(&owner), client_(client) {}
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
    // Counts an answer made here under the chosen server before the client can have it.
    void on_answer(http::status status, bool own) override;

private:
    void route_by_router(const request_type& req);
    void on_zeb_route(response_type&& answer);
    Peer* peer = nullptr;  // the server chosen for this request, owned by the proxy
    Proxy* owner;
    net::ip::address client_;  // as accept reported it: no look-up per request
};

extern template class Worker<framework::TcpSession>;
extern template class Worker<framework::TlsSession>;

}  // namespace proxy
