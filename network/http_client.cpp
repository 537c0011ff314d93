#include "network/http_client.hpp"


#include <cerrno>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string>

#include <boost/beast/core/buffers_to_string.hpp>

#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {
namespace {

using error_code = boost::system::error_code;

// The host exactly as written in the URL text, before any port; used to tell an
// address literal whose reverse name has replaced `host`.
std::string_view written_host(const Url& url) {
    std::string_view t = url.text;
    const auto scheme_end = t.find("://");
    if (scheme_end == std::string_view::npos) return {};
    t.remove_prefix(scheme_end + 3);
    t = t.substr(0, t.find('/'));
    const auto colon = t.rfind(':');
    if (colon != std::string_view::npos && colon > 0) t = t.substr(0, colon);
    return t;
}

// True when the URL names its server by an IPv4 literal: it is connected to as is,
// whatever name a reverse look-up gave it.
bool is_address_literal(const Url& url) {
    if (url.address.empty()) return false;
    return url.host.empty() || written_host(url) == url.address;
}

std::vector<net::ip::tcp::endpoint> endpoints_of(const Url& url) {
    std::vector<net::ip::tcp::endpoint> out;
    if (url.addrs.empty()) {
        out.push_back(url.endpoint());
    } else {
        for (const auto& sa : url.addrs) out.push_back(Url::endpoint(sa));
    }
    return out;
}

// Sets a field unless it holds that one value already (a field set anew is a new allocation).
template <class Message>
void set_field(Message& message, http::field name, std::string_view value) {
    const auto [first, last] = message.equal_range(name);
    if (first != last && std::next(first) == last &&
        std::string_view(first->value().data(), first->value().size()) == value)
        return;
    message.set(name, beast::string_view(value.data(), value.size()));
}

// Length fields of an outgoing request, computed from its body. Transfer codings of the
// incoming request are not kept, and a request without body carries no Content-Length
// left over from where it came from.
void prepare_request(HttpxClient::request_type& req) {
    req.erase(http::field::transfer_encoding);
    const auto n = req.body().size();
    const auto verb = req.method();
    if (n > 0 || verb == http::verb::post || verb == http::verb::put || verb == http::verb::options)
        set_field(req, http::field::content_length, std::to_string(n));
    else
        req.erase(http::field::content_length);
}

// Length fields of an answer handed to the owner, who may relay it: computed from the
// body, except where the status or a HEAD request says the body is not the resource's.
void prepare_answer(HttpxClient::response_type& res, bool head) {
    const unsigned status = res.result_int();
    if (status / 100 == 1 || status == 204) {
        res.erase(http::field::content_length);
        res.erase(http::field::transfer_encoding);
    } else if (status == 304 || head) {
        // The length fields describe the resource that was not sent: keep them.
    } else {
        res.erase(http::field::transfer_encoding);
        set_field(res, http::field::content_length, std::to_string(res.body().size()));
    }
}

// True when the serialized request (start line, fields, body) surely fits one TCP segment of
// the smallest size every peer accepts (536 bytes).
bool fits_one_segment(const HttpxClient::request_type& req) {
    constexpr std::size_t kMinSegment = 536;
    std::size_t size = req.method_string().size() + req.target().size() + 16 + req.body().size();
    for (const auto& field : req) {
        size += field.name_string().size() + field.value().size() + 4;
        if (size > kMinSegment) return false;
    }
    return size <= kMinSegment;
}

template <class S>
constexpr const char* transport_word() {
    return std::is_same_v<S, TcpSession> ? "tcp" : "tls";
}

}  // namespace

template <class S>
void HttpClientT<S>::set_name(const char* name) {
    if (name) std::snprintf(this->name, sizeof(this->name), "%s", name);
}

template <class S>
bool HttpClientT<S>::check_url(const Url& url) {
    if ((url.proto & (Url::kHttp | Url::kHttps)) != 0 && url.is_valid()) return true;
    Syslog::log(Syslog::kError, "%s: invalid URL: %s", this->name, url.text.c_str());
    return false;
}

template <class S>
bool HttpClientT<S>::send(http::verb verb, const Url& url, std::string_view body,
                          fields_type&& fields, int version) {
    if (!check_url(url)) return false;
    auto req = std::make_shared<request_type>();
    req->method(verb);
    // An empty path is the root: a request line needs a target.
    req->target(Url::encode(url.path.empty() ? std::string_view("/") : std::string_view(url.path)));
    req->version(version);

    const bool trace = Syslog::get_log_level() >= Syslog::kDebug3;
    const std::string& host = url.host.empty() ? url.address : url.host;
    if (body.empty()) {
        if (trace)
            Syslog::log(Syslog::kDebug3, "%s: %s %s:%s%s HTTP/%.1f", this->name,
                        std::string(http::to_string(verb)).c_str(), host.c_str(), url.port.c_str(),
                        url.path.c_str(), version / 10.0);
    } else {
        if (trace)
            Syslog::log(Syslog::kDebug3, "%s: %s %s:%s%s HTTP/%.1f, %zu byte(s)", this->name,
                        std::string(http::to_string(verb)).c_str(), host.c_str(), url.port.c_str(),
                        url.path.c_str(), version / 10.0, body.size());
        if (Syslog::get_log_level() >= Syslog::kDebug5)
            Syslog::log(Syslog::kDebug5, "%s: >>> %s", this->name, std::string(body).c_str());
        auto space = req->body().prepare(body.size());
        net::buffer_copy(space, net::buffer(body.data(), body.size()));
        req->body().commit(body.size());
    }
    for (const auto& [name, value] : fields) {
        req->set(beast::string_view(name.data(), name.size()),
                 beast::string_view(value.data(), value.size()));
        if (trace)
            Syslog::log(Syslog::kDebug3, "%s: %.*s: '%.*s'", this->name, static_cast<int>(name.size()), name.data(),
                        static_cast<int>(value.size()), value.data());
    }
    return submit(url, std::move(*req), false);
}

template <class S>
bool HttpClientT<S>::forward(const Url& url, request_type&& req) {
    return submit(url, std::move(req), true);
}

template <class S>
bool HttpClientT<S>::submit(const Url& url, request_type&& req, bool now) {
    if (!check_url(url)) return false;
    auto stored = std::make_shared<request_type>(std::move(req));
    if (stored->version() > 10) {
        const std::string& host = url.host.empty() ? url.address : url.host;
        set_field(*stored, http::field::host, host + ":" + url.port);
        set_field(*stored, http::field::connection, "close");
    }
    prepare_request(*stored);

    std::string host;
    std::vector<endpoint_type> eps;
    if (is_address_literal(url))
        eps = endpoints_of(url);
    else
        host = url.host;
    const std::uint64_t number = ++requests;
    auto go = [self = shared_from_this(), number, host = std::move(host), port = url.port,
               eps = std::move(eps), stored = std::move(stored), now]() mutable {
        self->start(number, std::move(host), std::move(port), std::move(eps), std::move(stored), now);
    };
    // A later request is posted, never run inline: a caller inside `callback` is still in
    // the middle of the previous exchange, whose transport is shut down when that handler
    // returns. A first one has nothing to wait for.
    if (now && number == 1)
        net::dispatch(this->strand, std::move(go));
    else
        net::post(this->strand, std::move(go));
    return true;
}

template <class S>
void HttpClientT<S>::start(std::uint64_t number, std::string host, std::string port,
                           std::vector<endpoint_type> eps, std::shared_ptr<request_type> req,
                           bool now) {
    if (number <= abandoned) return;  // cancelled before it started: never reaches the callback
    const std::uint64_t g = gen = number;
    at_once = now;
    request = std::move(req);
    head = request->method() == http::verb::head;
    parser.reset();
    endpoints = std::move(eps);
    next_endpoint = 0;
    stopped = false;
    phase = Phase::resolving;
    if (host.empty()) {
        on_resolve(g, {}, {});
        return;
    }
    if (!resolver) resolver.emplace(this->get_context());
    resolver->async_resolve(
        host, port,
        net::bind_executor(this->strand, [self = shared_from_this(), g](
                                             const error_code& ec,
                                             const net::ip::tcp::resolver::results_type& results) {
            self->on_resolve(g, ec, results);
        }));
}

template <class S>
void HttpClientT<S>::on_resolve(std::uint64_t g, const error_code& ec,
                                const net::ip::tcp::resolver::results_type& results) {
    // A cancel that came after the look-up had already completed stops here too.
    if (g != gen || phase != Phase::resolving) return;
    if (ec == net::error::operation_aborted) return;
    if (ec) {
        Syslog::log(Syslog::kError, "%s: %s", this->name, ec.message().c_str());
        on_failure();
        return;
    }
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    if (endpoints.empty()) {
        on_failure();
        return;
    }
    phase = Phase::connecting;
    timer.start(kConnectTime, [self = shared_from_this(), g](error_code) {
        net::dispatch(self->strand, [self, g] { self->on_connect_timeout(g); });
    });
    if (stream_busy()) {
        waiting = g;  // the last connection is still closing: within the connect time
        return;
    }
    connect_next(g);
}

template <class S>
bool HttpClientT<S>::stream_busy() const {
    // A plain socket is closed and opened again at once; a TLS stream keeps the state of
    // its connection until every operation on it has completed.
    if constexpr (std::is_same_v<S, TcpSession>) {
        return false;
    } else {
        return handshaking || writing || this->is_closing();
    }
}

template <class S>
void HttpClientT<S>::resume_connect() {
    if (waiting == 0 || stream_busy()) return;
    const std::uint64_t g = waiting;
    waiting = 0;
    if (g != gen || phase != Phase::connecting) return;  // timed out or cancelled meanwhile
    // Not from inside the transport's own closing steps.
    net::post(this->strand, [self = shared_from_this(), g] {
        if (g == self->gen && self->phase == Phase::connecting) self->connect_next(g);
    });
}

template <class S>
void HttpClientT<S>::connect_next(std::uint64_t g) {
    const bool first_attempt = next_endpoint == 0;
    const endpoint_type& ep = endpoints[next_endpoint++];
    if (Syslog::get_log_level() >= Syslog::kDebug)
        Syslog::log(Syslog::kDebug, "%s: connecting to %s/%s:%u", this->name, transport_word<S>(),
                    ep.address().to_string().c_str(), static_cast<unsigned>(ep.port()));
    if constexpr (std::is_same_v<S, TcpSession>) {
        auto& socket = this->stream;
        error_code ignored;
        if (socket.is_open()) socket.close(ignored);  // a failed attempt, or the last request's
        this->closing = false;
    } else {
        this->renew(first_attempt);  // nothing is pending on the stream here (stream_busy)
    }
    auto& socket = beast::get_lowest_layer(this->stream);
    // The TCP connection is made here, so that a name with several addresses can try
    // them in turn; the transport takes over once one answers (or the last one fails).
    async_connect_nonblocking(socket, ep,
                              net::bind_executor(this->strand, [self = shared_from_this(), g](error_code ec) {
                                  self->on_connect_attempt(g, ec);
                              }),
                              at_once);
}

template <class S>
void HttpClientT<S>::on_connect_attempt(std::uint64_t g, error_code ec) {
    if (g != gen || phase != Phase::connecting) return;  // timed out or cancelled meanwhile
    if (ec == net::error::operation_aborted) return;
    if (ec && next_endpoint < endpoints.size()) {
        if (Syslog::get_log_level() >= Syslog::kDebug) Syslog::log(Syslog::kDebug, "%s: %s", this->name, ec.message().c_str());
        connect_next(g);
        return;
    }
    if constexpr (std::is_same_v<S, TcpSession>) {
        this->on_connect_impl(ec);
    } else {
        handshaking = true;  // on_connect reports its end, even at once for a failed connect
        this->handshake(ec);
    }
}

template <class S>
bool HttpClientT<S>::on_connect(error_code& ec) {
    handshaking = false;
    // Cancelled or timed out while the connection was completing: stop silently.
    if (phase != Phase::connecting) {
        resume_connect();
        return false;
    }
    if (ec) {
        if (ec != net::error::operation_aborted) on_failure();
        return false;
    }
    // Nagle's algorithm holds back only a segment sent while an earlier one is unacknowledged:
    // a request within the smallest segment size leaves at once without switching it off.
    if (!std::is_same_v<S, TcpSession> || !fits_one_segment(*request)) {
        error_code ignored;
        beast::get_lowest_layer(this->stream).set_option(net::ip::tcp::no_delay(true), ignored);
    }
    new_parser();
    phase = Phase::exchanging;
    const std::uint64_t g = gen;
    writing = true;
    auto written = [self = shared_from_this(), g](error_code wec) {
        self->writing = false;
        if (wec && wec != net::error::operation_aborted && g == self->gen) self->do_cancel(wec, g);
        self->resume_connect();
    };
    bool sending = true;  // the request is still to be written by a write operation
    if constexpr (std::is_same_v<S, TcpSession>) {
        // A request the new socket takes whole needs no write operation nor its turn of the
        // loop; what it did not take is written from a copy of its own.
        if (!request->chunked()) {
            std::size_t sent = 0;
            error_code wec;
            std::string rest;
            if (send_message_now(this->stream, *request, sent, wec, &rest)) {
                sending = false;
                if (wec)
                    net::post(this->strand, beast::bind_front_handler(std::move(written), wec));
                else
                    written(wec);
            } else if (sent > 0) {
                sending = false;
                auto copy = std::make_shared<std::string>(std::move(rest));
                net::async_write(this->stream, net::buffer(*copy),
                                 net::bind_executor(this->strand, [written = std::move(written), copy](
                                                                      error_code ec, std::size_t) { written(ec); }));
            }
        }
    }
    if (sending)
        http::async_write(this->stream, *request,
                          net::bind_executor(this->strand, [written = std::move(written), req = request](
                                                               error_code ec, std::size_t) { written(ec); }));
    timer.start(kAnswerTime, [self = shared_from_this(), g](error_code) {
        net::dispatch(self->strand, [self, g] { self->on_answer_timeout(g); });
    });
    return true;
}

template <class S>
void HttpClientT<S>::new_parser() {
    parser.emplace();
    parser->header_limit(kHeaderLimit);
    parser->body_limit(kBodyLimit);
    parser->eager(true);
    parser->skip(head);  // the answer to HEAD has no body, whatever its length fields say
}

template <class S>
bool HttpClientT<S>::on_read(error_code& ec, const net::const_buffer& data) {
    if (phase != Phase::exchanging || !parser) return false;
    if (!ec) {
        const bool was_done = parser->is_done();
        net::const_buffer rest = data;
        std::size_t used = 0;
        while (rest.size() > 0) {
            if (parser->is_done()) {
                used += rest.size();  // after the answer: read on until the end, keep nothing
                break;
            }
            error_code pe;
            const std::size_t n = parser->put(rest, pe);
            used += n;
            rest += n;
            if (pe == http::error::need_more) break;
            if (pe) {
                this->buffer.consume(used);
                ec = pe;
                on_failure();
                return false;
            }
            // An interim answer (100 Continue, 103 Early Hints) is not the answer.
            if (parser->is_done() && parser->get().result_int() / 100 == 1) {
                new_parser();
                continue;
            }
            if (n == 0) break;
        }
        this->buffer.consume(used);
        // A server that has answered closes the connection right after: its end is most
        // likely in already.
        if constexpr (std::is_same_v<S, TcpSession>) {
            if (!was_done && parser->is_done()) this->read_now = true;
        }
        return true;
    }
    // The read ended. Only a real end of stream ends an answer delimited by the close:
    // a time-out, a cancel or a reset leaves it incomplete.
    // (An end of stream that follows our own shutdown is the server answering that, not
    // the end of its answer.)
    if (!parser->is_done() && parser->got_some() && ec == net::error::eof && !stopped) {
        error_code ignored;
        parser->put_eof(ignored);
    }
    if (parser->is_done())
        on_response_impl(parser->release());
    else
        on_failure();
    return false;
}

template <class S>
void HttpClientT<S>::on_connect_timeout(std::uint64_t g) {
    if (g != gen || phase != Phase::connecting) return;
    Syslog::log(Syslog::kWarning, "%s: closed by timeout on connection", this->name);
    stop_transport(error_code(ETIMEDOUT, boost::system::system_category()));
    on_failure();
}

template <class S>
void HttpClientT<S>::on_answer_timeout(std::uint64_t g) {
    if (g != gen || phase != Phase::exchanging) return;
    Syslog::log(Syslog::kWarning, "%s: closed by timeout", this->name);
    // The read then ends and delivers what it has.
    stop_transport(error_code(ETIMEDOUT, boost::system::system_category()));
}

template <class S>
void HttpClientT<S>::cancel(error_code ec) {
    // Taken here, so that a request made just before (its start still queued on the
    // strand, as when `send` and `cancel` are both called from `callback`) is the one
    // cancelled.
    const std::uint64_t upto = requests.load();
    net::dispatch(this->strand,
                  [self = shared_from_this(), ec, upto] { self->do_cancel(ec, upto); });
}

template <class S>
void HttpClientT<S>::do_cancel(error_code ec, std::uint64_t upto) {
    if (upto > gen) {
        // The request under way, if any, is an older one that has already answered.
        abandoned = upto;
        return;
    }
    switch (phase) {
        case Phase::resolving:
            phase = Phase::done;  // never reaches the callback
            timer.cancel();
            if (resolver) resolver->cancel();
            break;
        case Phase::connecting:
            phase = Phase::done;  // never reaches the callback
            stop_transport(ec);
            break;
        case Phase::exchanging:
            stop_transport(ec);  // the read ends and delivers
            break;
        case Phase::idle:
        case Phase::done:
            break;
    }
}

template <class S>
void HttpClientT<S>::stop_transport(error_code ec) {
    stopped = true;
    timer.cancel();
    if (resolver) resolver->cancel();
    this->shutdown(ec);
}

template <class S>
void HttpClientT<S>::on_failure() {
    response_type res{http::status::service_unavailable, 11};
    res.set(http::field::cache_control, "no-store");
    res.set(http::field::connection, "close");
    res.content_length(0);
    on_response_impl(std::move(res));
}

template <class S>
void HttpClientT<S>::on_response_impl(response_type&& answer) {
    phase = Phase::done;
    try {
        timer.cancel();
        const unsigned status = answer.result_int();
        const std::size_t size = answer.body().size();
        Syslog::log(status == 200 ? 7 : 4, "%s: status %d, %zu byte(s)", this->name,
                    static_cast<int>(status), size);
        if (Syslog::get_log_level() >= Syslog::kDebug5 && size > 0)
            Syslog::log(Syslog::kDebug5, "%s: <<< %s", this->name,
                        beast::buffers_to_string(answer.body().data()).c_str());
        if (!callback) return;
        prepare_answer(answer, head);
        callback(std::move(answer));
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, "%s: on_response: %s", this->name, e.what());
    } catch (...) {
        Syslog::log(Syslog::kError, "%s: on_response: unknown error", this->name);
    }
}

template class HttpClientT<TcpSession>;
template class HttpClientT<TlsSession>;

}  // namespace framework
