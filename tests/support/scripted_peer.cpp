#include "support/scripted_peer.hpp"

#include "support/test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSlice = 50ms;  // how often blocked waits look at the stop flag
constexpr size_t kMaxHeader = 1 << 20;

void ignore_sigpipe() {
    // OpenSSL writes to the socket with write(2); a peer that has gone must not kill the test.
    static const bool once = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)once;
}

std::string ssl_error_text() {
    char buf[256] = {0};
    const unsigned long e = ERR_get_error();
    if (e == 0) return std::strerror(errno);
    ERR_error_string_n(e, buf, sizeof(buf));
    ERR_clear_error();
    return buf;
}

SSL_CTX* make_ctx(const PeerTls& tls, bool server) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx) throw std::runtime_error("SSL_CTX_new failed");
    auto fail = [&](const char* what) {
        const std::string text = std::string(what) + ": " + ssl_error_text();
        SSL_CTX_free(ctx);
        throw std::runtime_error(text);
    };
    if (!tls.cert.empty() && SSL_CTX_use_certificate_chain_file(ctx, tls.cert.c_str()) != 1)
        fail("certificate");
    if (!tls.key.empty() && SSL_CTX_use_PrivateKey_file(ctx, tls.key.c_str(), SSL_FILETYPE_PEM) != 1)
        fail("key");
    if (!tls.cafile.empty() && SSL_CTX_load_verify_locations(ctx, tls.cafile.c_str(), nullptr) != 1)
        fail("cafile");
    if (tls.verify_peer) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (server ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0), nullptr);
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    return ctx;
}


// Result codes of Stream::read.
constexpr long kEof = 0, kError = -1, kTimeout = -2;

// A non-blocking socket, optionally under TLS, with bounded blocking operations.
struct Stream {
    int fd = -1;
    SSL* ssl = nullptr;
    const std::atomic<bool>* stop = nullptr;
    bool got_close_notify = false;
    std::string error;

    ~Stream() { close(); }

    void close() {
        if (ssl) {
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    bool stopped() const { return stop && stop->load(); }

    // 1 ready, 0 timed out or stopped, -1 error.
    int wait(short events, Clock::time_point end) const {
        for (;;) {
            if (stopped()) return 0;
            const auto now = Clock::now();
            if (now >= end) return 0;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            pollfd p{fd, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<std::chrono::milliseconds>(left, kSlice).count()) + 1);
            if (r > 0) return 1;
            if (r < 0 && errno != EINTR) return -1;
        }
    }

    // Waits as SSL asks after a call that returned `r`; false ends the operation.
    bool ssl_retry(int r, Clock::time_point end) {
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ) return wait(POLLIN, end) > 0;
        if (e == SSL_ERROR_WANT_WRITE) return wait(POLLOUT, end) > 0;
        error = ssl_error_text();
        return false;
    }

    bool handshake(bool server, Clock::time_point end) {
        for (;;) {
            ERR_clear_error();
            const int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
            if (r == 1) return true;
            if (!ssl_retry(r, end)) return false;
        }
    }

    long read(char* buf, size_t n, Clock::time_point end) {
        for (;;) {
            if (ssl) {
                ERR_clear_error();
                const int r = SSL_read(ssl, buf, static_cast<int>(n));
                if (r > 0) return r;
                const int e = SSL_get_error(ssl, r);
                if (e == SSL_ERROR_ZERO_RETURN) {
                    got_close_notify = true;
                    return kEof;
                }
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                    const int w = wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, end);
                    if (w == 0) return kTimeout;
                    if (w < 0) return kError;
                    continue;
                }
                const unsigned long code = ERR_peek_error();
                if (e == SSL_ERROR_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                    ERR_clear_error();
                    return kEof;  // TCP end without close_notify
                }
                if (e == SSL_ERROR_SYSCALL && code == 0 && errno == 0) return kEof;
                error = ssl_error_text();
                return kError;
            }
            const ssize_t r = ::recv(fd, buf, n, 0);
            if (r > 0) return r;
            if (r == 0) return kEof;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                error = std::strerror(errno);
                return kError;
            }
            const int w = wait(POLLIN, end);
            if (w == 0) return kTimeout;
            if (w < 0) return kError;
        }
    }

    bool write_all(std::string_view data, Clock::time_point end) {
        size_t off = 0;
        while (off < data.size()) {
            if (ssl) {
                ERR_clear_error();
                const int r = SSL_write(ssl, data.data() + off, static_cast<int>(data.size() - off));
                if (r > 0) {
                    off += static_cast<size_t>(r);
                    continue;
                }
                if (!ssl_retry(r, end)) return false;
                continue;
            }
            const ssize_t r = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (r > 0) {
                off += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (wait(POLLOUT, end) <= 0) return false;
                continue;
            }
            error = std::strerror(errno);
            return false;
        }
        return true;
    }

    // Sends close_notify (TLS) and FIN.
    void shutdown_write(bool notify, Clock::time_point end) {
        if (ssl && notify) {
            for (int i = 0; i < 100; ++i) {
                ERR_clear_error();
                const int r = SSL_shutdown(ssl);
                if (r >= 0) break;  // 0: ours sent; 1: both sides done
                if (!ssl_retry(r, end)) break;
            }
        }
        if (fd >= 0) ::shutdown(fd, SHUT_WR);
    }

    void reset() {
        if (fd >= 0) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        close();
    }
};

size_t content_length(std::string_view header) {
    // Case-insensitive search for the Content-Length field.
    std::string lower(header);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto pos = lower.find("\r\ncontent-length:");
    if (pos == std::string::npos) return 0;
    return static_cast<size_t>(std::strtoull(lower.c_str() + pos + 17, nullptr, 10));
}

}  // namespace

// ---- Script ----------------------------------------------------------------

Script& Script::read_header(std::chrono::milliseconds bound) {
    steps_.push_back({Kind::read_header, {}, 0, bound});
    return *this;
}
Script& Script::read_request(std::chrono::milliseconds bound) {
    steps_.push_back({Kind::read_request, {}, 0, bound});
    return *this;
}
Script& Script::read_bytes(size_t n, std::chrono::milliseconds bound) {
    steps_.push_back({Kind::read_bytes, {}, n, bound});
    return *this;
}
Script& Script::write(std::string bytes) {
    steps_.push_back({Kind::write, std::move(bytes), 0, 10s});
    return *this;
}
Script& Script::pause(std::chrono::milliseconds d) {
    steps_.push_back({Kind::pause, {}, 0, d});
    return *this;
}
Script& Script::close() {
    steps_.push_back({Kind::close, {}, 0, 3s});
    return *this;
}
Script& Script::close_no_notify() {
    steps_.push_back({Kind::close_no_notify, {}, 0, 3s});
    return *this;
}
Script& Script::reset() {
    steps_.push_back({Kind::reset, {}, 0, {}});
    return *this;
}
Script& Script::hold(std::chrono::milliseconds bound) {
    steps_.push_back({Kind::hold, {}, 0, bound});
    return *this;
}

// ---- ScriptedPeer ----------------------------------------------------------

struct ScriptedPeer::Impl {
    std::function<Script(size_t)> script_for;
    SSL_CTX* ctx = nullptr;
    int listen_fd = -1;
    std::atomic<bool> stop{false};
    std::thread acceptor;
    mutable std::mutex mu;
    std::vector<ConnectionRecord> records;
    std::vector<std::thread> workers;

    ~Impl() {
        shutdown();
        if (ctx) SSL_CTX_free(ctx);
    }

    void shutdown() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
        std::vector<std::thread> ws;
        {
            std::lock_guard<std::mutex> lock(mu);
            ws.swap(workers);
        }
        for (auto& t : ws) t.join();
        if (listen_fd >= 0) {
            ::close(listen_fd);
            listen_fd = -1;
        }
    }

    template <class F>
    void update(size_t i, F f) {
        std::lock_guard<std::mutex> lock(mu);
        f(records[i]);
    }

    void accept_loop() {
        while (!stop) {
            pollfd p{listen_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) continue;
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mu);
            const size_t index = records.size();
            records.emplace_back();
            workers.emplace_back([this, fd, index] { run(fd, index); });
        }
    }

    void run(int fd, size_t index) {
        Stream s;
        s.fd = fd;
        s.stop = &stop;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::string pending;  // bytes read but not yet used by a step
        bool closed = false;

        auto read_more = [&](Clock::time_point end) {
            char buf[16384];
            const long r = s.read(buf, sizeof(buf), end);
            if (r > 0) {
                pending.append(buf, static_cast<size_t>(r));
                update(index, [&](ConnectionRecord& rec) { rec.received.append(buf, static_cast<size_t>(r)); });
                return true;
            }
            if (r == kEof) update(index, [](ConnectionRecord& rec) { rec.peer_closed = true; });
            if (r == kError) update(index, [](ConnectionRecord& rec) { rec.peer_reset = true; });
            return false;
        };
        auto drain = [&](std::chrono::milliseconds bound) {
            const auto end = Clock::now() + bound;
            while (read_more(end)) pending.clear();
        };
        auto orderly_close = [&](bool notify, std::chrono::milliseconds bound) {
            s.shutdown_write(notify, Clock::now() + bound);
            drain(bound);
            s.close();
            closed = true;
        };

        Script script;
        try {
            script = script_for(index);
        } catch (...) {
        }

        bool ok = true;
        if (ctx) {
            s.ssl = SSL_new(ctx);
            SSL_set_fd(s.ssl, fd);
            if (!s.handshake(true, Clock::now() + 10s)) {
                update(index, [](ConnectionRecord& rec) { rec.handshake_ok = false; });
                ok = false;
            }
        }

        for (const auto& step : script.steps()) {
            if (!ok || closed || stop) break;
            const auto end = Clock::now() + step.time;
            switch (step.kind) {
                case Script::Kind::read_header:
                case Script::Kind::read_request: {
                    size_t pos;
                    while ((pos = pending.find("\r\n\r\n")) == std::string::npos && pending.size() < kMaxHeader) {
                        if (!read_more(end)) break;
                    }
                    if (pos == std::string::npos) {
                        ok = false;
                        break;
                    }
                    size_t need = pos + 4;
                    if (step.kind == Script::Kind::read_request) need += content_length(std::string_view(pending).substr(0, pos + 2));
                    while (pending.size() < need && read_more(end)) {
                    }
                    if (pending.size() < need) {
                        ok = false;
                        break;
                    }
                    pending.erase(0, need);
                    break;
                }
                case Script::Kind::read_bytes:
                    while (pending.size() < step.count && read_more(end)) {
                    }
                    if (pending.size() < step.count) {
                        ok = false;
                        break;
                    }
                    pending.erase(0, step.count);
                    break;
                case Script::Kind::write:
                    ok = s.write_all(step.data, end);
                    break;
                case Script::Kind::pause:
                    while (!stop && Clock::now() < end)
                        std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, end - Clock::now()));
                    break;
                case Script::Kind::close:
                    orderly_close(true, step.time);
                    break;
                case Script::Kind::close_no_notify:
                    orderly_close(false, step.time);
                    break;
                case Script::Kind::reset:
                    s.reset();
                    closed = true;
                    break;
                case Script::Kind::hold:
                    while (read_more(end)) pending.clear();
                    break;
            }
        }
        if (!closed) {
            if (stop) {
                s.close();
            } else {
                orderly_close(true, 3s);
            }
        }
        update(index, [](ConnectionRecord& rec) { rec.done = true; });
    }
};

ScriptedPeer::ScriptedPeer(Script script, std::optional<PeerTls> tls)
    : ScriptedPeer(std::function<Script(size_t)>([script](size_t) { return script; }), std::move(tls)) {}

ScriptedPeer::ScriptedPeer(std::function<Script(size_t)> script_for, std::optional<PeerTls> tls)
    : impl_(std::make_unique<Impl>()) {
    ignore_sigpipe();
    impl_->script_for = std::move(script_for);
    if (tls) impl_->ctx = make_ctx(*tls, true);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    impl_->listen_fd = fd;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    impl_->acceptor = std::thread([this] { impl_->accept_loop(); });
}

ScriptedPeer::~ScriptedPeer() { stop(); }

void ScriptedPeer::stop() { impl_->shutdown(); }

std::string ScriptedPeer::url(const std::string& path) const {
    return std::string(impl_->ctx ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

size_t ScriptedPeer::accepted() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->records.size();
}

ConnectionRecord ScriptedPeer::record(size_t i) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return i < impl_->records.size() ? impl_->records[i] : ConnectionRecord{};
}

bool ScriptedPeer::wait_accepted(size_t n, std::chrono::milliseconds deadline) const {
    return wait_for([&] { return accepted() >= n; }, deadline, 5ms);
}

bool ScriptedPeer::wait_done(size_t n, std::chrono::milliseconds deadline) const {
    return wait_for(
        [&] {
            std::lock_guard<std::mutex> lock(impl_->mu);
            if (impl_->records.size() < n) return false;
            return std::all_of(impl_->records.begin(), impl_->records.begin() + static_cast<long>(n),
                               [](const ConnectionRecord& r) { return r.done; });
        },
        deadline, 5ms);
}

// ---- StalledListener -------------------------------------------------------

StalledListener::StalledListener() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listen_fd_, 0) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    // Fill the accept queue until a connect no longer completes.
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers_.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) continue;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) break;  // pending: the queue is full
    }
}

StalledListener::~StalledListener() {
    for (int fd : fillers_) ::close(fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

// ---- RawClient -------------------------------------------------------------

struct RawClient::Tls {
    SSL_CTX* ctx = nullptr;
    Stream stream;
    ~Tls() {
        stream.close();
        if (ctx) SSL_CTX_free(ctx);
    }
};

RawClient::RawClient() : tls_(std::make_unique<Tls>()) { ignore_sigpipe(); }

RawClient::~RawClient() { close(); }

bool RawClient::connect(uint16_t port, std::optional<PeerTls> tls, std::chrono::milliseconds deadline) {
    close();
    closed_ = failed_ = close_notify_ = false;
    error_.clear();
    peer_subject_.clear();
    peer_chain_size_ = 0;
    const auto end = Clock::now() + deadline;
    Stream& s = tls_->stream;
    s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        error_ = "socket failed";
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS || s.wait(POLLOUT, end) <= 0) {
            error_ = errno == EINPROGRESS ? "connect timed out" : std::strerror(errno);
            s.close();
            return false;
        }
        int err = 0;
        socklen_t len = sizeof(err);
        ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            error_ = std::strerror(err);
            s.close();
            return false;
        }
    }
    int one = 1;
    ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fd_ = s.fd;
    if (tls) {
        try {
            tls_->ctx = make_ctx(*tls, false);
        } catch (const std::exception& e) {
            error_ = e.what();
            close();
            return false;
        }
        s.ssl = SSL_new(tls_->ctx);
        SSL_set_fd(s.ssl, s.fd);
        if (!s.handshake(false, end)) {
            error_ = s.error.empty() ? "handshake failed" : s.error;
            close();
            return false;
        }
        if (X509* cert = SSL_get1_peer_certificate(s.ssl)) {
            char subject[256];
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
            peer_subject_ = subject;
            X509_free(cert);
        }
        if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(s.ssl))
            peer_chain_size_ = static_cast<std::size_t>(sk_X509_num(chain));
    }
    return true;
}

bool RawClient::send(std::string_view bytes, std::chrono::milliseconds deadline) {
    if (fd_ < 0) return false;
    if (!tls_->stream.write_all(bytes, Clock::now() + deadline)) {
        error_ = tls_->stream.error;
        return false;
    }
    return true;
}

long RawClient::read_some(char* buf, size_t n, Clock::time_point end) {
    if (fd_ < 0 || closed_ || failed_) return kEof;
    const long r = tls_->stream.read(buf, n, end);
    if (r == kEof) {
        closed_ = true;
        close_notify_ = tls_->stream.got_close_notify;
    }
    if (r == kError) {
        failed_ = true;
        error_ = tls_->stream.error;
    }
    return r;
}

std::string RawClient::read_until_close(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string out;
    char buf[16384];
    for (;;) {
        const long r = read_some(buf, sizeof(buf), end);
        if (r <= 0) return out;
        out.append(buf, static_cast<size_t>(r));
    }
}

std::string RawClient::read_until(std::string_view marker, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string out;
    char buf[1];  // one byte at a time: nothing after the marker is taken
    while (out.find(marker) == std::string::npos) {
        const long r = read_some(buf, sizeof(buf), end);
        if (r <= 0) break;
        out.append(buf, 1);
    }
    return out;
}

void RawClient::shutdown_write() {
    if (fd_ >= 0) tls_->stream.shutdown_write(true, Clock::now() + 2s);
}

void RawClient::reset() {
    if (fd_ >= 0) tls_->stream.reset();
    fd_ = -1;
}

void RawClient::close() {
    tls_->stream.close();
    if (tls_->ctx) {
        SSL_CTX_free(tls_->ctx);
        tls_->ctx = nullptr;
    }
    fd_ = -1;
}

std::string raw_exchange(uint16_t port, std::string_view request, std::chrono::milliseconds deadline,
                         std::optional<PeerTls> tls) {
    RawClient c;
    if (!c.connect(port, std::move(tls), deadline)) return {};
    if (!c.send(request, deadline)) return {};
    return c.read_until_close(deadline);
}

HttpReply http_exchange(uint16_t port, const std::string& method, const std::string& target,
                        const std::string& body, const std::string& fields,
                        std::chrono::milliseconds deadline) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields;
    if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string raw = raw_exchange(port, request + "\r\n" + body, deadline);
    HttpReply reply;
    const auto end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos || raw.size() < 12) return reply;
    reply.status = std::atoi(raw.c_str() + 9);
    reply.body = raw.substr(end + 4);
    return reply;
}

}  // namespace testsupport
