#pragma once
// The TLS 1.2 transport: TlsContext is an OpenSSL context built from a TLS settings
// object ("verify", "verify_depth", "pass", "cafile", "cert", "key", "ciphers"; "cn" for
// server sessions); TlsContextCache shares one context per settings object among the
// connections and builds it anew when a file it was read from changes; TlsSession is the
// session over a TLS stream on such a context. Context failures are logged
// ("ssl/server: %s", "ssl/client: %s"), never thrown. An accepted connection's handshake
// is bounded (kHandshakeLimit), and so is the closing handshake (kCloseLimit), which runs
// once.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "network/session.hpp"

namespace framework {

class TlsContext : public ssl::context {
public:
    // Reads the files named by the settings. A failed step is logged and ends the
    // configuration there; the context keeps what the earlier steps set.
    TlsContext(ssl::context::method method, const nlohmann::json& settings, bool is_client);

    // Every step succeeded: the context may serve further connections.
    bool complete() const { return complete_; }

private:
    bool complete_ = false;
};

// The contexts of the process, one per settings content and side. A connection sees its
// files as they are on disk: `get` checks them with stat() (identity, size, times), not by
// reading them, and builds a new context when one has changed, was removed or came back.
// A build that failed is logged and serves only the connection that asked for it: the next
// connection tries again. Safe to call from any thread; the lock is held only to look up
// or replace an entry, never while files are read.
class TlsContextCache {
public:
    // A file changed less than `settle` before it was looked at is not trusted: a second
    // change within the file system's time granularity could go unseen, so a context
    // read from it serves only its own connection until the file has settled.
    explicit TlsContextCache(std::chrono::nanoseconds settle = std::chrono::seconds(2));

    std::shared_ptr<TlsContext> get(const nlohmann::json& settings, bool is_client);

    // Tests that replace files at once use 0.
    void set_settle(std::chrono::nanoseconds settle) { settle_ns_ = settle.count(); }

    // The one every TLS session uses.
    static TlsContextCache& shared();

    // Contexts kept at most; more distinct settings than this start the cache afresh.
    static constexpr std::size_t kMaxEntries = 16;

private:
    struct FileStamp {
        std::string path;
        int error = 0;  // errno of a failed stat
        struct stat st {};
    };
    struct Entry {
        nlohmann::json settings;
        bool is_client = false;
        std::vector<FileStamp> files;
        std::shared_ptr<TlsContext> context;
    };

    static std::vector<FileStamp> stamp(const nlohmann::json& settings);
    static bool unchanged(const std::vector<FileStamp>& files);
    bool settled(const std::vector<FileStamp>& files) const;

    std::atomic<std::int64_t> settle_ns_;
    std::mutex mutex_;
    std::unordered_map<std::size_t, std::shared_ptr<const Entry>> entries_;  // by content hash
};

// The context of a session's stream: a base of its own, so that it is there before the
// stream is made on it and is released only after the stream.
struct TlsContextHolder {
    std::shared_ptr<TlsContext> tls_context;
};

class TlsSession : private TlsContextHolder, public Session<TlsStream, net::ip::tcp::endpoint> {
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
    // object) replaces the last one, which OpenSSL cannot always carry into a second
    // connection. For the first attempt of a further request (`next_request`) the context
    // is taken anew, so that its connection sees the files as they are now; a further
    // address of the same request keeps it. Only while no operation is pending on the
    // stream.
    void renew(bool next_request);
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

    nlohmann::json settings_;   // client: what `renew` takes the context from
    bool context_new_ = true;  // client: the context was taken for the first request
    Phase phase_ = Phase::idle;
    bool guard_expired_ = false;
    net::steady_timer guard_;  // bounds the handshake of an accepted connection and the close
};

}  // namespace framework
