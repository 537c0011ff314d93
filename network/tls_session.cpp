#include "network/tls_session.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {
namespace {

// A certificate file without its chain gets one at every handshake: OpenSSL looks the
// issuers up in the trusted store (the system's CA directory included) and sends what it
// finds. The same look-up made once here gives the same chain for every handshake.
void complete_chain(SSL_CTX* ctx) {
    X509* leaf = SSL_CTX_get0_certificate(ctx);
    STACK_OF(X509)* chain = nullptr;
    STACK_OF(X509)* extra = nullptr;
    SSL_CTX_get0_chain_certs(ctx, &chain);
    SSL_CTX_get_extra_chain_certs_only(ctx, &extra);
    if (leaf == nullptr || chain != nullptr || extra != nullptr) return;  // sent as it is
    X509_STORE_CTX* store_ctx = X509_STORE_CTX_new();
    if (store_ctx == nullptr) return;
    if (X509_STORE_CTX_init(store_ctx, SSL_CTX_get_cert_store(ctx), leaf, nullptr) == 1) {
        (void)X509_verify_cert(store_ctx);  // a partial chain is what a handshake would send
        if (STACK_OF(X509)* built = X509_STORE_CTX_get1_chain(store_ctx)) {
            X509_free(sk_X509_shift(built));  // the certificate itself
            // Refused (a certificate below the security level): left to the handshakes,
            // which refuse it the same way.
            if (SSL_CTX_set0_chain(ctx, built) != 1) sk_X509_pop_free(built, X509_free);
        }
    }
    X509_STORE_CTX_free(store_ctx);
    ERR_clear_error();
}

}  // namespace

TlsContext::TlsContext(ssl::context::method method, const nlohmann::json& settings,
                       bool is_client)
    : ssl::context(method) {
    // Every connection verifies its peer in full, as it would on a context of its own:
    // no session is kept or resumed, by the cache or by tickets.
    SSL_CTX_set_session_cache_mode(native_handle(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(native_handle(), SSL_OP_NO_TICKET);
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
        complete_chain(native_handle());
        const std::string ciphers = settings.value("ciphers", std::string());
        if (!ciphers.empty() && SSL_CTX_set_cipher_list(native_handle(), ciphers.c_str()) != 1)
            throw std::runtime_error("error setting the cipher list");
        complete_ = true;
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, is_client ? "ssl/client: %s" : "ssl/server: %s", e.what());
    }
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

TlsContextCache::TlsContextCache(std::chrono::nanoseconds settle) : settle_ns_(settle.count()) {}

TlsContextCache& TlsContextCache::shared() {
    static TlsContextCache cache;
    return cache;
}

std::vector<TlsContextCache::FileStamp> TlsContextCache::stamp(const nlohmann::json& settings) {
    std::vector<FileStamp> files;
    auto add = [&files](std::string_view path) {
        if (path.empty()) return;
        FileStamp& file = files.emplace_back();
        file.path = path;
        if (::stat(file.path.c_str(), &file.st) != 0) file.error = errno;
    };
    if (settings.is_object()) {
        for (const char* key : {"cafile", "cert", "key"}) {
            const auto it = settings.find(key);
            if (it != settings.end() && it->is_string()) add(it->get_ref<const std::string&>());
        }
    }
    // The system's CA file, which every context reads, and its CA directories, which the
    // context's store looks into and keeps what it found there.
    const char* file = std::getenv(X509_get_default_cert_file_env());
    add(file ? file : X509_get_default_cert_file());
    const char* dirs = std::getenv(X509_get_default_cert_dir_env());
    std::string_view list = dirs ? dirs : X509_get_default_cert_dir();
    while (!list.empty()) {
        const std::size_t colon = list.find(':');
        add(list.substr(0, colon));
        if (colon == std::string_view::npos) break;
        list.remove_prefix(colon + 1);
    }
    return files;
}

bool TlsContextCache::unchanged(const std::vector<FileStamp>& files) {
    for (const auto& file : files) {
        struct stat st {};
        const int error = ::stat(file.path.c_str(), &st) != 0 ? errno : 0;
        if (error != file.error || (error == 0 && !same_file(st, file.st))) return false;
    }
    return true;
}

bool TlsContextCache::settled(const std::vector<FileStamp>& files) const {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto ns = [](const timespec& t) {
        return std::chrono::nanoseconds(std::chrono::seconds(t.tv_sec)) +
               std::chrono::nanoseconds(t.tv_nsec);
    };
    const std::chrono::nanoseconds settle(settle_ns_.load());
    for (const auto& file : files) {
        // Any change of a file sets its ctime to the time of the change.
        if (file.error == 0 && ns(file.st.st_ctim) + settle > ns(now)) return false;
    }
    return true;
}

std::shared_ptr<TlsContext> TlsContextCache::get(const nlohmann::json& settings, bool is_client) {
    const std::size_t key = std::hash<nlohmann::json>{}(settings) ^ (is_client ? 0x9e3779b9u : 0u);
    std::shared_ptr<const Entry> entry;
    {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        if (it != entries_.end()) entry = it->second;
    }
    if (entry && entry->is_client == is_client && entry->settings == settings &&
        unchanged(entry->files))
        return entry->context;

    // Stamped before they are read: a change while they are read shows at the next look.
    std::vector<FileStamp> files = stamp(settings);
    auto context = std::make_shared<TlsContext>(
        is_client ? ssl::context::tlsv12_client : ssl::context::tlsv12_server, settings, is_client);
    const bool keep = context->complete() && settled(files);
    auto fresh = keep ? std::make_shared<const Entry>(Entry{settings, is_client, std::move(files), context})
                      : nullptr;
    std::lock_guard lock(mutex_);
    if (!keep) {
        entries_.erase(key);  // what it held no longer matches the files
    } else {
        if (entries_.size() >= kMaxEntries && entries_.count(key) == 0) entries_.clear();
        entries_[key] = std::move(fresh);
    }
    return context;
}

TlsSession::TlsSession(net::ip::tcp::socket&& socket, const nlohmann::json& settings)
    : TlsContextHolder{TlsContextCache::shared().get(settings, false)},
      base_type(false, "worker", context_of(socket), std::move(socket),
                static_cast<ssl::context&>(*tls_context)),
      guard_(get_context()) {
    const auto names = settings.value("cn", nlohmann::json::array()).get<std::vector<std::string>>();
    X509_VERIFY_PARAM* param = SSL_get0_param(stream.native_handle());
    for (const auto& host : names) X509_VERIFY_PARAM_add1_host(param, host.data(), host.size());
}

TlsSession::TlsSession(net::io_context& io, const nlohmann::json& settings)
    : TlsContextHolder{TlsContextCache::shared().get(settings, true)},
      base_type(true, "client", io, io, static_cast<ssl::context&>(*tls_context)),
      settings_(settings),
      guard_(io) {
}

void TlsSession::renew(bool next_request) {
    std::shared_ptr<TlsContext> context = tls_context;
    if (next_request && !context_new_) context = TlsContextCache::shared().get(settings_, true);
    if (next_request) context_new_ = false;
    // A stream that has carried nothing yet (a new client's) is as good as a new one.
    if (context == tls_context && phase_ == Phase::idle && !beast::get_lowest_layer(stream).is_open())
        return;
    stream = TlsStream(get_context(), static_cast<ssl::context&>(*context));
    tls_context = std::move(context);  // after the old stream, which used the old one
    phase_ = Phase::idle;
    closing = false;
}

void TlsSession::accept() {
    if (Syslog::get_log_level() >= Syslog::kInfo) {
        const auto peer = beast::get_lowest_layer(stream).remote_endpoint();  // throws when gone
        if (Syslog::get_log_level() >= Syslog::kDebug)
            Syslog::log(Syslog::kDebug, "%s: connect from tls/%s", name, peer.address().to_string().c_str());
    }
    handshake({});
}

void TlsSession::connect(const net::ip::tcp::endpoint& endpoint) {
    if (Syslog::get_log_level() >= Syslog::kDebug)
        Syslog::log(Syslog::kDebug, "%s: connecting to tls/%s:%u", name, endpoint.address().to_string().c_str(),
                    static_cast<unsigned>(endpoint.port()));
    phase_ = Phase::idle;
    closing = false;
    async_connect_nonblocking(beast::get_lowest_layer(stream), endpoint,
                              net::bind_executor(strand, [self = shared_from_this()](error_code ec) {
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
    if (Syslog::get_log_level() >= Syslog::kDebug3) {
        if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
            char subject[256];
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
            Syslog::log(Syslog::kDebug3, "%s: %sverified: %s", name, preverified ? "" : "NOT ", subject);
        }
    }
    const int error = X509_STORE_CTX_get_error(store);
    if (error != X509_V_OK) Syslog::log(Syslog::kWarning, "%s: tls: %s", name, X509_verify_cert_error_string(error));
    return preverified;
}

void TlsSession::shutdown(error_code ec) {
    if (ec == ssl::error::stream_truncated) {
        if (Syslog::get_log_level() >= Syslog::kDebug) Syslog::log(Syslog::kDebug, "%s: %s", name, ec.message().c_str());
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
