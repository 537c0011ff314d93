#include "network/tcp_session.hpp"

#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {

TcpSession::TcpSession(net::ip::tcp::socket&& socket)
    : base_type(false, "worker", context_of(socket), std::move(socket)) {}

TcpSession::TcpSession(net::io_context& io) : base_type(true, "client", io, io) {}

void TcpSession::accept() {
    if (Syslog::get_log_level() >= Syslog::kInfo) {
        const auto peer = stream.remote_endpoint();  // throws "remote_endpoint: ..." when gone
        if (Syslog::get_log_level() >= Syslog::kDebug)
            Syslog::log(Syslog::kDebug, "%s: connect from tcp/%s", name, peer.address().to_string().c_str());
    }
    buffer.clear();
    error_code ec;
    if (!on_connect(ec)) {
        shutdown(ec);
        return;
    }
    // The listener defers the accept until the first bytes are in: they are read at once,
    // on the strand, which is free here unless it shares its lock with the caller's.
    read_now = true;
    net::dispatch(strand, [self = std::static_pointer_cast<TcpSession>(shared_from_this())] {
        self->read_impl(self->buffer.prepare(kBufferSize));
    });
}

void TcpSession::connect(const net::ip::tcp::endpoint& endpoint) {
    if (Syslog::get_log_level() >= Syslog::kDebug)
        Syslog::log(Syslog::kDebug, "%s: connecting to tcp/%s:%u", name, endpoint.address().to_string().c_str(),
                    static_cast<unsigned>(endpoint.port()));
    closing = false;
    // A closed socket is opened for the endpoint's family.
    async_connect_nonblocking(stream, endpoint,
                              net::bind_executor(strand, [self = shared_from_this()](error_code ec) {
                                  self->on_connect_impl(ec);
                              }));
}

void TcpSession::shutdown(error_code ec) {
    log_failure(ec);
    if (!stream.is_open()) return;
    error_code ignored;
    if (is_client) {
        // After the server's end of stream the close alone sends the same FIN.
        if (ec != net::error::eof) stream.shutdown(net::socket_base::shutdown_send, ignored);
        stream.close(ignored);
        closing = true;
    } else {
        stream.shutdown(net::socket_base::shutdown_receive, ignored);
    }
}

void TcpSession::close() {
    closing = true;
    if (!stream.is_open()) return;
    error_code ignored;
    stream.close(ignored);
}

}  // namespace framework
