#include "roles/proxy.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <system_error>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/beast/core/buffers_to_string.hpp>

#include "common/strings.hpp"
#include "common/syslog.hpp"
#include "config/router-config.hpp"
#include "network/tcp_session.hpp"
#include "network/tls_session.hpp"
#include "roles/role_server.hpp"

namespace proxy {

using framework::Syslog;

namespace {
using framework::TcpSession;
using framework::TlsSession;

using framework::iequals;

std::string_view view(boost::string_view s) { return {s.data(), s.size()}; }

// A request whose body length two readers could take differently: a Transfer-Encoding next to
// a Content-Length, or a Transfer-Encoding that does not end in chunked (its body has no
// length at all). The parser already refuses differing or malformed Content-Length values.
// Such a request is never forwarded, even though the forwarded framing is rebuilt anyway.
template <class Parser>
bool is_ambiguous(const Parser& parser) {
    const auto& req = parser.get();
    if (req.find(http::field::transfer_encoding) == req.end()) return false;
    return req.find(http::field::content_length) != req.end() || !parser.chunked();
}

// Reads the router's answer without building its document: true, with the cluster, for an
// object whose "cluster" and "url" are strings (the last of a repeated key counts, as in a
// parsed document). Anything else is false and is left to the full parse.
class RouteReader : public nlohmann::json_sax<nlohmann::json> {
public:
    bool read(const std::string& text, std::string& cluster) {
        if (!nlohmann::json::sax_parse(text, this) || !object_ || !cluster_ || !url_) return false;
        cluster = std::move(cluster_value_);
        return true;
    }

    bool null() override { return value(false); }
    bool boolean(bool) override { return value(false); }
    bool number_integer(number_integer_t) override { return value(false); }
    bool number_unsigned(number_unsigned_t) override { return value(false); }
    bool number_float(number_float_t, const string_t&) override { return value(false); }
    bool binary(binary_t&) override { return value(false); }
    bool string(string_t& text) override {
        if (depth_ == 1 && key_ == Key::cluster) cluster_value_ = text;
        return value(true);
    }
    bool start_object(std::size_t) override {
        if (depth_ == 0) object_ = true;
        value(false);
        ++depth_;
        return true;
    }
    bool key(string_t& name) override {
        if (depth_ == 1) key_ = name == "cluster" ? Key::cluster : name == "url" ? Key::url : Key::other;
        return true;
    }
    bool end_object() override { return end(); }
    bool start_array(std::size_t) override {
        value(false);
        ++depth_;
        return true;
    }
    bool end_array() override { return end(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    enum class Key { other, cluster, url };

    // A member value of the top object: a string or not.
    bool value(bool is_string) {
        if (depth_ != 1) return true;
        if (key_ == Key::cluster) cluster_ = is_string;
        if (key_ == Key::url) url_ = is_string;
        key_ = Key::other;
        return true;
    }
    bool end() {
        --depth_;
        return true;
    }

    std::size_t depth_ = 0;
    Key key_ = Key::other;
    bool object_ = false;
    bool cluster_ = false;
    bool url_ = false;
    std::string cluster_value_;
};

bool read_route(const std::string& text, std::string& cluster) {
    RouteReader reader;
    return reader.read(text, cluster);
}

}  // namespace

// ---- Proxy ----------------------------------------------------------------

Proxy::Proxy(const Config& config, std::string_view name)
    : framework::Process(name), loops_(io, this->name), config_(&config) {
    add_signal(SIGTERM);
}

const config::ProxyConfig* Proxy::get_config() const {
    if (section_) return section_.get();
    // Not opened yet: the section is looked up; the child's configuration never changes,
    // so the document keeps it alive.
    const auto section = config_->get_proxy(name);
    if (!section) throw std::runtime_error("config is unavailable");
    return section.get();
}

void Proxy::open(unsigned loops) {
    section_ = config_->get_proxy(name);
    if (!section_) throw std::runtime_error("config is unavailable");
    zeb_ = iequals(config_->get_gw_type(), "ZEB");
    router_ = config_->get_router();
    server_ssl_ = &config_->get_server_ssl();
    client_ssl_ = &config_->get_client_ssl();

    for (const auto& [key, settings] : section_->upstreams)
        upstreams_.emplace(std::piecewise_construct, std::forward_as_tuple(key),
                          std::forward_as_tuple(settings));
    loops_.open(section_->listen.endpoint(), loops,
                [this](net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint& peer) {
                    on_accept(std::move(socket), peer);
                },
                // A handshake per connection: new ones wait their turn behind those under way.
                section_->listen.proto & framework::Url::kHttps ? 1 : framework::ListenerLoops::Listener::kAcceptBatch);
}

int Proxy::main() {
    open(framework::ListenerLoops::default_count());
    return serve();
}

int Proxy::serve() { return loops_.serve(); }

void Proxy::on_stop() { loops_.stop(); }

void Proxy::on_accept(net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint& peer) {
    if (get_config()->listen.proto & framework::Url::kHttps) {
        std::make_shared<Worker<TlsSession>>(*this, peer.address(), std::move(socket), get_server_ssl())
            ->accept();
    } else {
        std::make_shared<Worker<TcpSession>>(*this, peer.address(), std::move(socket))->accept();
    }
}

Route Proxy::get_route(boost::string_view target, const net::ip::address& client,
                       std::string_view name) const {
    return route_by_mask(get_config()->locations, upstreams_, view(target), client, name);
}

const Upstream* Proxy::find_upstream(std::string_view key) const {
    const auto it = upstreams_.find(key);
    return it == upstreams_.end() ? nullptr : &it->second;
}

nlohmann::json Proxy::get_status() const {
    nlohmann::json doc = roles::status_fields(*this, *config_);
    doc["objects"] = roles::live_connections();
    add_counters(doc, upstreams_);
    return doc;
}

// ---- Worker ---------------------------------------------------------------

template <class S>
bool Worker<S>::respond(http::status status) {
    return respond(status, std::string());
}

template <class S>
bool Worker<S>::respond(http::status status, const std::string& body) {
    return base_type::respond(status, body, {});
}

template <class S>
void Worker<S>::on_answer(http::status status, bool own) {
    if (own && peer) peer->stats.count_proxy(status);
}

template <class S>
void Worker<S>::on_header(boost::string_view name, boost::string_view value) {
    roles::take_rest_id(this->name, name, value);
}

template <class S>
void Worker<S>::on_request(parser_type& parser) {
    auto& req = parser.get();
    if (is_ambiguous(parser)) {
        Syslog::log(Syslog::kWarning, "%s: ambiguous message length, request refused", this->name);
        respond(http::status::bad_request);
        return;
    }
    if (req.method() == http::verb::get && iequals(view(req.target()), kStatusTarget)) {
        base_type::respond(http::status::ok, owner->get_status());
        return;
    }
    if (owner->is_zeb()) {
        route_by_router(req);
        return;
    }
    const auto [status, chosen] = owner->get_route(req.target(), client_, this->name);
    peer = chosen;
    if (!peer) {
        respond(status);
        return;
    }
    forward(peer->url, parser.release());
}

template <class S>
void Worker<S>::route_by_router(const request_type& req) {
    if (!owner->get_config()->locations.empty())
        Syslog::log(Syslog::kWarning, "%s: all location(s) is skipped for ZEB", this->name);
    const RouterConfig* router = owner->get_router();
    if (!router) {
        Syslog::log(Syslog::kError, "%s: no config for router", this->name);
        respond(http::status::service_unavailable);
        return;
    }
    // The router is asked with the client's request line and fields only; its listener is
    // always plain HTTP.
    request_type query;
    query.base() = req.base();
    query.method(http::verb::get);
    auto client = std::make_shared<framework::HttpClientT<TcpSession>>(this->name, this->get_context());
    client->callback = [self = shared_from_this()](response_type&& answer) {
        net::dispatch(self->strand, [self, answer = std::move(answer)]() mutable {
            self->on_zeb_route(std::move(answer));
        });
    };
    // A refused router URL is logged by the client; the time limit answers then.
    client->forward(router->listen, std::move(query));
}

template <class S>
void Worker<S>::on_zeb_route(response_type&& answer) {
    // The time limit has answered the client already: its request is not sent anywhere now.
    if (this->is_answered()) return;
    const std::string body = beast::buffers_to_string(answer.body().data());
    const http::status status = answer.result();
    if (status != http::status::ok) {
        if (body.empty())
            respond(status);
        else
            respond(status, body);
        return;
    }
    // A 200 that cannot be used is the router's failure, not the client's success: 502.
    try {
        std::string cluster;
        if (!read_route(body, cluster)) {
            // The full document tells what is wrong, in the words that are logged.
            const auto route = nlohmann::json::parse(body);
            cluster = route.at("cluster").get_ref<const std::string&>();
            (void)route.at("url").get_ref<const std::string&>();
        }
        if (const Upstream* upstream = owner->find_upstream(cluster)) {
            const auto [decision, chosen] = upstream->get_route(client_, this->name);
            if (chosen) {
                peer = chosen;
                Syslog::log(Syslog::kInfo, "%s: using %s/%s", this->name, cluster.c_str(), peer->url.address.c_str());
                forward(peer->url, this->parser->release());
                return;
            }
        }
        Syslog::log(Syslog::kWarning, "%s: unable to route to %s", this->name, cluster.c_str());
        respond(http::status::not_found, body);
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, "%s: on_zeb_route: %s", this->name, e.what());
        respond(http::status::bad_gateway, body);
    }
}

template <class S>
void Worker<S>::forward(const framework::Url& url, request_type&& req) {
    std::shared_ptr<framework::HttpxClient> client;
    if (url.proto & framework::Url::kHttps) {
        client = std::make_shared<framework::HttpClientT<TlsSession>>(this->name, this->get_context(),
                                                                      owner->get_client_ssl());
    } else {
        client = std::make_shared<framework::HttpClientT<TcpSession>>(this->name, this->get_context());
    }
    client->callback = [self = shared_from_this()](response_type&& res) {
        net::dispatch(self->strand, [self, res = std::move(res)]() mutable {
            self->on_response(std::move(res));
        });
    };
    // A refused server URL is logged by the client; the time limit answers then.
    client->forward(url, std::move(req));
}

template <class S>
void Worker<S>::on_response(response_type&& res) {
    if (peer) peer->stats.count_upstream(res.result());
    base_type::respond(std::move(res));  // refused after the time limit's answer
}

template <class S>
void Worker<S>::on_timeout() {
    respond(http::status::gateway_timeout);
}

template class Worker<TcpSession>;
template class Worker<TlsSession>;

}  // namespace proxy
