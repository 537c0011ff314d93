#include "network/tls_session.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/syslog.hpp"

namespace framework {

TlsContext::TlsContext(ssl::context::method method, const nlohmann::json& settings,
                       bool is_client)
    : ssl::context(method) {
    try {
        if (is_client) {
            set_verify_mode(ssl::verify_peer);
        } else {
            const bool verify = settings.value("verify", true);
            set_verify_mode(verify ? ssl::verify_peer | ssl::verify_fail_if_no_peer_cert
                                   : ssl::verify_none);
            set_verify_depth(settings.value("verify_depth", 2));
        }
        set_default_verify_paths();
        set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3);
        set_password_callback(
            [pass = settings.value("pass", std::string())](std::size_t, password_purpose) {
                return pass;
            });
        const std::string cafile = settings.value("cafile", std::string());
        if (!cafile.empty()) load_verify_file(cafile);
        use_certificate_chain_file(settings.at("cert").get<std::string>());
        use_private_key_file(settings.at("key").get<std::string>(), ssl::context::pem);
        const std::string ciphers = settings.value("ciphers", std::string());
        if (!ciphers.empty() && SSL_CTX_set_cipher_list(native_handle(), ciphers.c_str()) != 1)
            throw std::runtime_error("error setting the cipher list");
    } catch (const std::exception& e) {
        Syslog::log(3, is_client ? "ssl/client: %s" : "ssl/server: %s", e.what());
    }
}

TlsSession::TlsSession(net::ip::tcp::socket&& socket, const nlohmann::json& settings)
    : TlsContext(ssl::context::tlsv12_server, settings, false),
      base_type(false, "worker", context_of(socket), std::move(socket),
                static_cast<ssl::context&>(*this)),
      guard_(get_context()) {
    const auto names = settings.value("cn", nlohmann::json::array()).get<std::vector<std::string>>();
    X509_VERIFY_PARAM* param = SSL_get0_param(stream.native_handle());
    for (const auto& host : names) X509_VERIFY_PARAM_add1_host(param, host.data(), host.size());
}

TlsSession::TlsSession(net::io_context& io, const nlohmann::json& settings)
    : TlsContext(ssl::context::tlsv12_client, settings, true),
      base_type(true, "client", io, io, static_cast<ssl::context&>(*this)),
      guard_(io) {
}

void TlsSession::renew() {
    stream = TlsStream(get_context(), static_cast<ssl::context&>(*this));
    phase_ = Phase::idle;
    closing = false;
}

void TlsSession::accept() {
    if (Syslog::get_log_level() >= 6) {
        const auto peer = beast::get_lowest_layer(stream).remote_endpoint();  // throws when gone
        if (Syslog::get_log_level() >= 7)
            Syslog::log(7, "%s: connect from tls/%s", name, peer.address().to_string().c_str());
    }
    handshake({});
}

void TlsSession::connect(const net::ip::tcp::endpoint& endpoint) {
    if (Syslog::get_log_level() >= 7)
        Syslog::log(7, "%s: connecting to tls/%s:%u", name, endpoint.address().to_string().c_str(),
                    static_cast<unsigned>(endpoint.port()));
    phase_ = Phase::idle;
    closing = false;
    beast::get_lowest_layer(stream).async_connect(
        endpoint, net::bind_executor(strand, [self = shared_from_this()](error_code ec) {
            self->handshake(ec);
        }));
}

void TlsSession::handshake(error_code ec) {
    if (ec) {
        buffer.clear();
        on_connect(ec);
        shutdown(ec);
        return;
    }
    // The callback only logs; it runs inside operations of this session's own stream,
    // so it needs no reference of its own (one would keep the session alive for ever).
    stream.set_verify_callback(
        [this](bool preverified, ssl::verify_context& ctx) {
            return on_verify_certificate(preverified, ctx);
        });
    phase_ = Phase::handshaking;
    guard_expired_ = false;
    auto self = shared_from_this();
    if (!is_client) {
        // A peer that connects and never finishes its handshake must not hold the
        // connection open.
        guard_.expires_after(kHandshakeLimit);
        guard_.async_wait(net::bind_executor(strand, [self](error_code wait_ec) {
            if (!wait_ec) self->on_guard();
        }));
    }
    stream.async_handshake(is_client ? ssl::stream_base::client : ssl::stream_base::server,
                           net::bind_executor(strand, [self](error_code result) {
                               self->guard_.cancel();
                               if (self->guard_expired_) result = net::error::timed_out;
                               if (!result && self->phase_ == Phase::handshaking)
                                   self->phase_ = Phase::open;
                               self->on_connect_impl(result);
                           }));
}

void TlsSession::on_guard() {
    if (phase_ != Phase::handshaking && phase_ != Phase::closing) return;
    guard_expired_ = true;
    error_code ignored;
    beast::get_lowest_layer(stream).cancel(ignored);  // the pending handshake ends
}

bool TlsSession::on_verify_certificate(bool preverified, ssl::verify_context& ctx) {
    X509_STORE_CTX* store = ctx.native_handle();
    if (Syslog::get_log_level() >= 9) {
        if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
            char subject[256];
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
            Syslog::log(9, "%s: %sverified: %s", name, preverified ? "" : "NOT ", subject);
        }
    }
    const int error = X509_STORE_CTX_get_error(store);
    if (error != X509_V_OK) Syslog::log(4, "%s: tls: %s", name, X509_verify_cert_error_string(error));
    return preverified;
}

void TlsSession::read_impl(const net::mutable_buffer& space) {
    stream.async_read_some(
        space, net::bind_executor(strand, [self = shared_from_this()](error_code ec, std::size_t n) {
            self->on_read_impl(ec, n);
        }));
}

void TlsSession::write_impl(const net::const_buffer& data) {
    net::async_write(stream, data,
                     net::bind_executor(strand, [self = shared_from_this()](error_code ec,
                                                                            std::size_t n) {
                         self->on_write_impl(ec, n);
                     }));
}

void TlsSession::shutdown(error_code ec) {
    if (ec == ssl::error::stream_truncated) {
        if (Syslog::get_log_level() >= 7) Syslog::log(7, "%s: %s", name, ec.message().c_str());
        on_shutdown(ec);
        return;
    }
    log_failure(ec);
    if (phase_ == Phase::closing || phase_ == Phase::closed) return;  // the close runs once
    closing = true;
    if (phase_ != Phase::open) {
        // No TLS session was established: there is nothing to close politely.
        on_shutdown(ec);
        return;
    }
    phase_ = Phase::closing;
    error_code ignored;
    beast::get_lowest_layer(stream).cancel(ignored);
    auto self = shared_from_this();
    // A peer that never answers our close_notify must not hold the connection open.
    guard_expired_ = false;
    guard_.expires_after(kCloseLimit);
    guard_.async_wait(net::bind_executor(strand, [self](error_code wait_ec) {
        if (!wait_ec) self->on_guard();
    }));
    stream.async_shutdown(net::bind_executor(strand, [self](error_code result) {
        self->guard_.cancel();
        self->on_shutdown(result);
    }));
}

void TlsSession::on_shutdown(error_code) {
    phase_ = Phase::closed;
    closing = true;
    error_code ignored;
    auto& socket = beast::get_lowest_layer(stream);
    if (socket.is_open()) socket.close(ignored);
    SSL_clear(stream.native_handle());
    on_closed();
}

}  // namespace framework
