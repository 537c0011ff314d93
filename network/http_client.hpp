#pragma once
// One outgoing HTTP/1.1 request and its answer, over a plain or a TLS transport.
//
// The owner builds the client (always through std::make_shared), sets `callback` and
// calls `send` or `forward`, one request at a time. A call that returns true ends in
// exactly one call of `callback`: with the server's complete answer, or for any failure
// with a made-up 503 (HTTP/1.1, "Cache-Control: no-store", "Connection: close", empty
// body). The exceptions: a URL the client refuses (the call returns false) and a
// `cancel` while the host is looked up or the connection is made; neither ever reaches
// `callback`.
//
// Connecting may take 10 seconds, writing the request and reading the answer another 10.
// The request asks the server to close, and the answer is taken when the connection
// ends (or when the time runs out), not when it is complete.
//
// Every handler of a client runs on the transport's strand, so `callback` runs there
// too; an owner that shares state with other connections locks it itself. The client
// is kept alive by its pending handlers even when the owner has let go.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>
#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "network/namespaces.hpp"
#include "network/tcp_session.hpp"
#include "network/timer.hpp"
#include "network/tls_session.hpp"
#include "network/url.hpp"

namespace framework {

class HttpxClient {
public:
    using response_type = http::response<http::dynamic_body>;
    using request_type = http::request<http::dynamic_body>;
    using fields_type = std::list<std::pair<boost::string_view, boost::string_view>>;

    // Receives the answer; set by the owner before `send` or `forward`.
    std::function<void(response_type&&)> callback;

    virtual ~HttpxClient() = default;

    // Builds a new request (method, the URL's path percent-encoded as target, "/" for
    // an empty path, `version` 10 or 11, `body`, then `fields` in order, each replacing
    // a field of its name) and sends it. Logs the request line and fields at level 9.
    // False, without any further call, when the URL is not a usable http(s) URL.
    virtual bool send(http::verb verb, const Url& url, std::string_view body, fields_type&& fields,
                      int version) = 0;
    // Sends a request made by the caller as it is; `url` says only where to connect.
    // HTTP/1.1 requests get "Host" and "Connection: close"; the length fields are
    // recomputed from the body. Logs no request line. The relay's call: a client's first
    // request starts inside this call when the caller runs on the client's loop, and a
    // connection made at once carries the request in the same turn of the loop.
    virtual bool forward(const Url& url, request_type&& req) = 0;
    // Abandons the request. While the host is looked up or the connection is made (or
    // before the request has even started: `send` from inside `callback`, then
    // `cancel`), the callback is then never called; during the exchange it gets the
    // complete answer if one was read, else the made-up 503. May be called from any
    // thread.
    virtual void cancel(boost::system::error_code ec) = 0;

    // A JSON body: appends "Content-Type: application/json" to `fields` and sends the
    // compact dump (a null document as "{}").
    template <class T, class = std::enable_if_t<!std::is_convertible_v<const T&, std::string_view>>>
    bool send(http::verb verb, const Url& url, const T& body, fields_type&& fields, int version) {
        fields.emplace_back("Content-Type", "application/json");
        const std::string text = body.is_null() ? std::string("{}") : body.dump();
        return send(verb, url, std::string_view(text), std::move(fields), version);
    }
};

// The request over transport S: TcpSession or TlsSession (client side).
template <class S>
class HttpClientT : public HttpxClient, public S {
public:
    using error_code = boost::system::error_code;
    using endpoint_type = net::ip::tcp::endpoint;

    static constexpr std::chrono::seconds kConnectTime{10};
    static constexpr std::chrono::seconds kAnswerTime{10};
    static constexpr std::uint32_t kHeaderLimit = 32768;
    static constexpr std::uint64_t kBodyLimit = 1048576;

    // Plain transport.
    template <class T = S, class = std::enable_if_t<std::is_same_v<T, TcpSession>>>
    HttpClientT(const char* name, net::io_context& io) : S(io), timer(io) {
        set_name(name);
    }
    // TLS transport with the client TLS settings.
    template <class T = S, class = std::enable_if_t<!std::is_same_v<T, TcpSession>>>
    HttpClientT(const char* name, net::io_context& io, const nlohmann::json& tls)
        : S(io, tls), timer(io) {
        set_name(name);
    }
    ~HttpClientT() override = default;

    using HttpxClient::send;
    bool send(http::verb verb, const Url& url, std::string_view body, fields_type&& fields,
              int version) override;
    bool forward(const Url& url, request_type&& req) override;
    void cancel(error_code ec) override;

    std::shared_ptr<HttpClientT> shared_from_this() {
        return std::static_pointer_cast<HttpClientT>(S::shared_from_this());
    }

protected:
    bool on_connect(error_code& ec) override;
    bool on_read(error_code& ec, const net::const_buffer& data) override;
    // TlsSession's hook when its connection has closed (an override there; over plain
    // TCP nothing calls it).
    void on_closed() { resume_connect(); }  // NOLINT(modernize-use-override)

private:
    enum class Phase { idle, resolving, connecting, exchanging, done };

    void set_name(const char* name);
    bool check_url(const Url& url);
    // What `send` and `forward` share; `now` is forward's.
    bool submit(const Url& url, request_type&& req, bool now);
    // Where to connect and what to send, handed to the strand by `submit`.
    void start(std::uint64_t number, std::string host, std::string port,
               std::vector<endpoint_type> endpoints, std::shared_ptr<request_type> req,
               bool now);
    void on_resolve(std::uint64_t gen, const error_code& ec,
                    const net::ip::tcp::resolver::results_type& results);
    // A TLS stream carries one connection at a time: the next one waits until the last
    // one's handshake, write and closing handshake have ended.
    bool stream_busy() const;
    void resume_connect();
    void connect_next(std::uint64_t gen);
    void on_connect_attempt(std::uint64_t gen, error_code ec);
    void on_connect_timeout(std::uint64_t gen);
    void on_answer_timeout(std::uint64_t gen);
    void do_cancel(error_code ec, std::uint64_t upto);
    void stop_transport(error_code ec);
    void new_parser();
    void on_failure();
    void on_response_impl(response_type&& answer);

    // Made for the first host name to look up: a request to an address needs none.
    std::optional<net::ip::tcp::resolver> resolver;
    std::optional<http::response_parser<http::dynamic_body>> parser;
    std::shared_ptr<request_type> request;
    Timer timer;

    // Numbers the requests as `send` and `forward` make them, on the caller's thread.
    std::atomic<std::uint64_t> requests{0};

    // Strand-only state of the request under way.
    Phase phase = Phase::idle;
    std::uint64_t gen = 0;        // the number of the request under way: older handlers do nothing
    std::uint64_t abandoned = 0;  // requests up to this number were cancelled before they started
    bool head = false;      // the request is HEAD: its answer has no body
    bool stopped = false;   // we shut the transport down (time-out, cancel, failed write)
    std::vector<endpoint_type> endpoints;  // tried in order within the connect time
    std::size_t next_endpoint = 0;
    bool at_once = false;       // the request under way is forward's
    bool handshaking = false;   // a TLS handshake is pending on the stream
    bool writing = false;       // the request's write is pending on the stream
    std::uint64_t waiting = 0;  // the request whose connect waits for the stream
};

extern template class HttpClientT<TcpSession>;
extern template class HttpClientT<TlsSession>;

}  // namespace framework
