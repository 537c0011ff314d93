#pragma once
// The proxy role: listens on its section's address, routes each request by location mask or,
// on a ZEB gateway, by asking the router, applies the upstream's per-client rate limit, picks a
// server by smooth weighted round-robin and relays the request to it and the answer back.
//
// The live state that the connections share is one `Upstream` per upstream of the section
// (roles/proxy_upstream.hpp).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "common/process.hpp"
#include "config/config.hpp"
#include "config/proxy-config.hpp"
#include "network/http_client.hpp"
#include "network/http_server.hpp"
#include "network/listener_loops.hpp"
#include "network/namespaces.hpp"
#include "network/url.hpp"
#include "roles/proxy_upstream.hpp"

class RouterConfig;

namespace proxy {

// The proxy role: one child process per proxy section, named by the section's key. The
// configuration is only read here; in the child it never changes, so what `open` takes from
// it (the section, the gateway type, the router section, the TLS settings) holds for the
// process's whole life.
class Proxy : public framework::Process {
public:
    // Keeps `config`, which must outlive the object; handles SIGTERM.
    Proxy(const Config& config, std::string_view name);

    // Opens the listeners and builds the upstreams, then serves on as many loops as the
    // process has threads to run on (its CPU affinity mask); returns when SIGTERM has closed the listeners and the last
    // connection has finished. Throws "config is unavailable" without a section.
    int main() override;
    // SIGTERM: stops accepting; connections under way finish with their answers.
    void on_stop() override;

    // What `main` does before serving: builds one Upstream per upstream of the section, in
    // key order, and opens `loops` listeners on the IPv4 address the section's "listen" URL
    // resolved to (framework::ListenerLoops). A connection lives on the loop that accepted
    // it, with its outgoing requests and timers, so connections share only the upstreams.
    // Throws for a missing section and a failed listen.
    void open(unsigned loops = 1);
    // Runs the loops until SIGTERM has closed the listeners and the last connection has
    // finished (framework::ListenerLoops::serve). Returns 0.
    int serve();
    // The listener's callback: a Worker over plain TCP or TLS, as the listen URL says, for
    // the client at `peer`.
    void on_accept(net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint& peer);

    // The section of this proxy; throws std::runtime_error "config is unavailable".
    const config::ProxyConfig* get_config() const;
    // The decision by location mask for the target as received (query included).
    Route get_route(boost::string_view target, const net::ip::address& client,
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
    const Upstreams& get_upstreams() const { return upstreams_; }

private:
    // Declared first, so the loops and their listeners outlive what runs on them.
    framework::ListenerLoops loops_;
    Upstreams upstreams_;
    const Config* config_;
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
