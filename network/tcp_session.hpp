#pragma once
// The session over a plain TCP socket: the transport under plain HTTP server
// connections ("worker") and outgoing plain HTTP requests ("client").
#include <memory>

#include "network/session.hpp"

namespace framework {

class TcpSession : public Session<TcpStream, net::ip::tcp::endpoint> {
public:
    using base_type = Session<TcpStream, net::ip::tcp::endpoint>;

    // An accepted connection: a server session named "worker(n)".
    explicit TcpSession(net::ip::tcp::socket&& socket);
    // An outgoing connection on `io`: a client session named "client(n)", socket closed.
    explicit TcpSession(net::io_context& io);
    ~TcpSession() override = default;

    // Logs the peer (level 7, the address is looked up at level 6 or more and the
    // lookup throws when the peer is gone), then `on_connect` and the read loop.
    void accept() override;
    void connect(const net::ip::tcp::endpoint& endpoint) override;
    // Client: shuts the sending side and closes the socket. Server: shuts only the
    // receiving side, so an answer being written still goes out; the socket is closed
    // when the session is destroyed, or by `close` once the answer is out.
    void shutdown(error_code ec) override;
    // Closes the socket now; a pending read or write ends as aborted.
    void close();

    std::shared_ptr<TcpSession> shared_from_this() {
        return std::static_pointer_cast<TcpSession>(base_type::shared_from_this());
    }
};

}  // namespace framework
