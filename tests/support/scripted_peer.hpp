#pragma once
// Scripted loopback peers for network tests, plain TCP or TLS (OpenSSL directly).
//
// ScriptedPeer is a server on 127.0.0.1 with a free port: every accepted connection
// runs a Script on its own thread and records what it received. RawClient is the
// other side: connect, send raw bytes, read with a deadline. Everything blocks, and
// every wait is bounded; the destructors stop and join their threads.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <atomic>
#include <condition_variable>

namespace testsupport {

using namespace std::chrono_literals;

// TLS settings of a peer (PEM paths). A server always presents cert/key; it asks for
// a client certificate only with `verify_peer`. A client verifies the server only
// with `verify_peer` (against `cafile`) and offers cert/key when they are set.
struct PeerTls {
    std::string cert;
    std::string key;
    std::string cafile;
    bool verify_peer = false;
};

// What one connection does, step by step. A step that cannot complete (the peer
// closed, the time ran out) ends the script; the connection is then closed.
class Script {
public:
    enum class Kind { read_header, read_request, read_bytes, write, pause, close, close_no_notify, reset, hold };
    struct Step {
        Kind kind;
        std::string data;                 // write
        size_t count = 0;                 // read_bytes
        std::chrono::milliseconds time{}; // pause, the bound of reads and hold
    };

    // Reads until the end of a header ("\r\n\r\n").
    Script& read_header(std::chrono::milliseconds bound = 10s);
    // Reads a header and then as many body bytes as its Content-Length says.
    Script& read_request(std::chrono::milliseconds bound = 10s);
    Script& read_bytes(size_t n, std::chrono::milliseconds bound = 10s);
    Script& write(std::string bytes);
    Script& pause(std::chrono::milliseconds d);
    // Orderly close: TLS close_notify first, then FIN, then waits (bounded) for the
    // other side to close so that no unread data turns the FIN into a reset.
    Script& close();
    // TLS: the TCP connection ends without close_notify (plain: the same as close).
    Script& close_no_notify();
    // Aborts the connection with a reset (SO_LINGER 0).
    Script& reset();
    // Never answers: keeps reading (and recording) until the other side closes, at
    // most `bound`, then closes.
    Script& hold(std::chrono::milliseconds bound = 30s);

    const std::vector<Step>& steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

// What happened on one accepted connection.
struct ConnectionRecord {
    std::string received;      // every byte read from the other side
    bool peer_closed = false;  // the other side ended the stream (FIN or close_notify)
    bool peer_reset = false;   // a read failed (reset, TLS error)
    bool handshake_ok = true;  // TLS only: the handshake completed
    bool done = false;         // the script has ended and the socket is closed
};

class ScriptedPeer {
public:
    // Every connection runs the same script.
    explicit ScriptedPeer(Script script, std::optional<PeerTls> tls = std::nullopt);
    // Connection number i (from 0) runs script_for(i).
    explicit ScriptedPeer(std::function<Script(size_t)> script_for,
                          std::optional<PeerTls> tls = std::nullopt);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (or https) followed by `path`.
    std::string url(const std::string& path = "/") const;

    size_t accepted() const;
    // A copy of connection i's record (an empty record when there is none yet).
    ConnectionRecord record(size_t i) const;
    // Waits until n connections were accepted, or until their scripts have ended.
    bool wait_accepted(size_t n, std::chrono::milliseconds deadline = 10s) const;
    bool wait_done(size_t n, std::chrono::milliseconds deadline = 10s) const;

    // Stops accepting and ends every connection (the destructor does it too).
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

// A listening socket on 127.0.0.1 that never accepts, with its accept queue full,
// so that a further connect to it stays pending (the kernel drops the SYNs).
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    uint16_t port() const { return port_; }

private:
    int listen_fd_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
};

// The client side of a raw exchange.
class RawClient {
public:
    RawClient();
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to 127.0.0.1:port (and makes the TLS handshake when `tls` is given).
    // False when the connection or the handshake failed; `error()` tells why. The default
    // deadline leaves room for a sanitized server's handshake on a busy machine.
    bool connect(uint16_t port, std::optional<PeerTls> tls = std::nullopt,
                 std::chrono::milliseconds deadline = 15s);
    bool send(std::string_view bytes, std::chrono::milliseconds deadline = 5s);
    // Reads until the other side ends the stream or the deadline passes; returns
    // what was read by this call. `closed()` tells whether the stream ended.
    std::string read_until_close(std::chrono::milliseconds deadline = 5s);
    // Reads until `marker` was received (or end of stream or deadline); returns the
    // bytes read by this call.
    std::string read_until(std::string_view marker, std::chrono::milliseconds deadline = 5s);
    // Ends the sending direction (TLS: close_notify, then FIN).
    void shutdown_write();
    void reset();   // abort with a reset
    void close();   // plain close, no close_notify

    bool closed() const { return closed_; }       // the other side ended the stream
    bool failed() const { return failed_; }       // a read failed (reset, TLS error)
    const std::string& error() const { return error_; }
    bool close_notify() const { return close_notify_; }  // TLS: the end came with close_notify
    // TLS: the subject of the certificate the server presented at the last handshake, as
    // one line ("/CN=localhost"); empty when there was none.
    const std::string& peer_subject() const { return peer_subject_; }
    // TLS: how many certificates the server sent at the last handshake (its own first).
    std::size_t peer_chain_size() const { return peer_chain_size_; }

private:
    struct Tls;
    long read_some(char* buf, size_t n, std::chrono::steady_clock::time_point end);
    int fd_ = -1;
    std::unique_ptr<Tls> tls_;
    bool closed_ = false;
    bool failed_ = false;
    bool close_notify_ = false;
    std::string error_;
    std::string peer_subject_;
    std::size_t peer_chain_size_ = 0;
};

// Connects, sends `request`, reads until close (bounded) and returns what came back.
std::string raw_exchange(uint16_t port, std::string_view request,
                         std::chrono::milliseconds deadline = 5s,
                         std::optional<PeerTls> tls = std::nullopt);

// One plain HTTP/1.1 exchange with 127.0.0.1:port: the status (0 when no answer came) and
// the body. `fields` are extra header lines, each ending in "\r\n"; a body gets its length.
struct HttpReply {
    int status = 0;
    std::string body;
};
HttpReply http_exchange(uint16_t port, const std::string& method, const std::string& target,
                        const std::string& body = {}, const std::string& fields = {},
                        std::chrono::milliseconds deadline = 5s);

}  // namespace testsupport
