#pragma once
// The TLS 1.2 transport: TlsContext is the context of one connection, built from a
// TLS settings object ("verify", "verify_depth", "pass", "cafile", "cert", "key",
// "ciphers"; "cn" for server sessions); TlsSession is the session over a TLS stream
// that owns its own context. Context failures are logged ("ssl/server: %s",
// "ssl/client: %s"), never thrown. An accepted connection's handshake is bounded
// (kHandshakeLimit), and so is the closing handshake (kCloseLimit), which runs once.
#include <chrono>
#include <memory>

#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "network/session.hpp"

namespace framework {

class TlsContext : public ssl::context {
public:
    TlsContext(ssl::context::method method, const nlohmann::json& settings, bool is_client);
};

class TlsSession : public TlsContext, public Session<TlsStream, net::ip::tcp::endpoint> {
public:
    using base_type = Session<TlsStream, net::ip::tcp::endpoint>;

    static constexpr std::chrono::seconds kHandshakeLimit{15};
    static constexpr std::chrono::seconds kCloseLimit{3};

    // An accepted connection ("worker(n)"); throws the JSON library's type_error when
    // the settings or their "cn" list have the wrong type.
    TlsSession(net::ip::tcp::socket&& socket, const nlohmann::json& settings);
    // An outgoing connection ("client(n)") on `io`; always verifies the server.
    TlsSession(net::io_context& io, const nlohmann::json& settings);
    ~TlsSession() override = default;

    void accept() override;
    void connect(const net::ip::tcp::endpoint& endpoint) override;
    void read_impl(const net::mutable_buffer& space) override;
    void write_impl(const net::const_buffer& data) override;
    // Ends the connection with a closing handshake (once); a peer that dropped the
    // connection without close_notify is closed at once.
    void shutdown(error_code ec) override;

    void handshake(error_code ec);
    void on_shutdown(error_code ec);
    // True while a closing handshake is under way: the stream cannot carry a new
    // connection until it has ended (`on_closed`).
    bool is_closing() const { return phase_ == Phase::closing; }
    // A client that connects again: a fresh stream (new socket, new OpenSSL connection
    // object on this session's context) replaces the last one, which OpenSSL cannot
    // always carry into a second connection. Only while no operation is pending on it.
    void renew();
    bool on_verify_certificate(bool preverified, ssl::verify_context& ctx);

    std::shared_ptr<TlsSession> shared_from_this() {
        return std::static_pointer_cast<TlsSession>(base_type::shared_from_this());
    }

protected:
    // The connection has ended and its socket is closed (at the end of `on_shutdown`,
    // on the strand); a client that connects again waits for it.
    virtual void on_closed() {}

private:
    enum class Phase { idle, handshaking, open, closing, closed };
    void on_guard();

    Phase phase_ = Phase::idle;
    bool guard_expired_ = false;
    net::steady_timer guard_;  // bounds the handshake of an accepted connection and the close
};

}  // namespace framework
