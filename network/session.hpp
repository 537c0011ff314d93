#pragma once
// The base of every network connection, incoming or outgoing, plain or TLS: one
// asynchronous stream with a fixed read buffer, a name for log lines, a strand and
// the read loop that hands received bytes to the derived class's hooks.
//
// A session is created with std::make_shared and lives exactly as long as some
// pending asynchronous operation (or an owner) holds a shared pointer to it. Every
// completion of a session runs on its strand, so the hooks of one connection never
// run at the same time.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "network/namespaces.hpp"

namespace framework {

// Told the live count of a transport's sessions by every new session: after a burst, the
// memory the connections leave behind is given back once none is left (session.cpp).
void note_live_sessions(std::size_t live);
// The same, from a loop's heartbeat: a burst whose last session ended within a second of the
// previous give-back is given back here, once no session is left.
void release_memory_when_idle();

template <class Stream, class Endpoint>
class Session : public std::enable_shared_from_this<Session<Stream, Endpoint>> {
public:
    using stream_type = Stream;
    using endpoint_type = Endpoint;
    using error_code = boost::system::error_code;

    static constexpr std::size_t kBufferSize = 16384;
    static constexpr std::size_t kNameSize = 48;

    // Live sessions of this stream type in the process, accepted and outgoing alike.
    static inline std::atomic<std::size_t> count_{0};

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    virtual ~Session();

    // Starts an outgoing connection to a resolved endpoint (client sessions).
    virtual void connect(const Endpoint& endpoint) = 0;
    // Starts an accepted connection (server sessions); called once by the accept callback.
    virtual void accept() = 0;
    // Starts one read of at most the given free space of the read buffer.
    void read_impl(const net::mutable_buffer& space);
    // Writes one whole buffer; a failure other than an abort is logged.
    void write_impl(const net::const_buffer& data);
    // The connection is ready, or failed. False ends it.
    virtual bool on_connect(error_code& ec) = 0;
    // Received data (all unconsumed bytes, the hook consumes from the buffer's front),
    // or a failed read. False ends the connection with the error as the hook left it.
    virtual bool on_read(error_code& ec, const net::const_buffer& data) = 0;
    // Ends the connection; may be called more than once.
    virtual void shutdown(error_code ec) = 0;

    void on_connect_impl(error_code ec);
    void on_read_impl(error_code ec, std::size_t n);
    void on_write_impl(error_code ec, std::size_t n);

    net::io_context& get_context() { return strand.context(); }
    const char* get_name() const { return name; }

protected:
    template <class... Args>
    Session(bool client, std::string_view base, net::io_context& io, Args&&... stream_args)
        : stream(std::forward<Args>(stream_args)...), is_client(client), strand(io) {
        const std::size_t count = ++count_;
        note_live_sessions(count);
        std::snprintf(name, sizeof name, "%.*s(%zu)", static_cast<int>(base.size()), base.data(),
                      count);
    }

    // Logs a real failure ("%s: %s" at level 3); end of stream and aborts are silent.
    void log_failure(const error_code& ec) const;

    Stream stream;
    bool is_client;
    // Set once the stream can no longer carry data (socket closed, TLS closing).
    bool closing = false;
    // Set by a hook that expects the peer's next bytes, or its end, to be there already: the
    // next read of a plain stream is made at once and handled inline, where an asynchronous
    // read that completes at once would wait for the loop's next turn. Set at most once for a
    // connection and once for an answer, so inline reads nest no deeper than that.
    bool read_now = false;
    beast::flat_static_buffer<kBufferSize> buffer;
    char name[kNameSize];
    net::io_context::strand strand;
};

using TcpStream = net::ip::tcp::socket;
using TlsStream = beast::ssl_stream<net::ip::tcp::socket>;

extern template class Session<TcpStream, net::ip::tcp::endpoint>;
extern template class Session<TlsStream, net::ip::tcp::endpoint>;

// The io_context behind an accepted socket.
net::io_context& context_of(net::ip::tcp::socket& socket);

}  // namespace framework
