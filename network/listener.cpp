#include "network/listener.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <boost/asio/detail/socket_option.hpp>

#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {

namespace {
using reuse_port = net::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;
using defer_accept = net::detail::socket_option::integer<IPPROTO_TCP, TCP_DEFER_ACCEPT>;
}

template <class Protocol>
Listener<Protocol>::Listener(net::io_context& io, callback_type cb)
    : callback(std::move(cb)), acceptor(io), strand_(io.get_executor()), retry_(io) {}

template <class Protocol>
Listener<Protocol>::~Listener() {
    Syslog::log(Syslog::kDebug, "~listener");
    boost::system::error_code ignored;
    if (acceptor.is_open()) acceptor.close(ignored);
    callback = nullptr;
}

template <class Protocol>
void Listener<Protocol>::listen(const endpoint_type& ep, int backlog) {
    endpoint = ep;
    if (Syslog::get_log_level() >= Syslog::kDebug)
        Syslog::log(Syslog::kDebug, "listen: %s:%d", ep.address().to_string().c_str(),
                    static_cast<int>(ep.port()));
    if (ep.port() == 0) throw std::runtime_error("listen: invalid port value");
    acceptor.open(ep.protocol());
    acceptor.set_option(typename Protocol::acceptor::reuse_address(true));
    acceptor.set_option(reuse_port(true));
    acceptor.bind(ep);
    acceptor.listen(backlog);
    // Every peer of these listeners speaks first: taking a connection only once its first
    // bytes are in saves a wake-up and an empty read on each. Without it, accepting goes on.
    boost::system::error_code ignored;
    acceptor.set_option(defer_accept(1), ignored);
    start_accepting();
}

template <class Protocol>
void Listener<Protocol>::listen_with(Listener& first) {
    endpoint = first.endpoint;
    const int fd = ::fcntl(first.acceptor.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "dup");
    boost::system::error_code ec;
    acceptor.assign(endpoint.protocol(), fd, ec);
    if (ec) {
        ::close(fd);
        throw boost::system::system_error(ec, "assign");
    }
    start_accepting();
}

template <class Protocol>
void Listener<Protocol>::start_accepting() {
    acceptor.non_blocking(true);
    net::post(strand_, [self = this->shared_from_this()] { self->accept_waiting(); });
}

template <class Protocol>
void Listener<Protocol>::accept_waiting() {
    for (int i = 0; i < accept_batch; ++i) {
        if (!acceptor.is_open()) return;  // stopped
        socket_type socket(acceptor.get_executor());
        boost::system::error_code ec;
        if (!accept_nonblocking(acceptor, socket, peer_, ec)) {
            if (ec != net::error::would_block) {
                on_failure(ec);
                return;
            }
            acceptor.async_wait(net::socket_base::wait_read,
                                net::bind_executor(strand_, [self = this->shared_from_this()](
                                                                boost::system::error_code wait_ec) {
                                    // Closed by the owner: the wait ends aborted.
                                    if (wait_ec == net::error::operation_aborted || !self->acceptor.is_open()) return;
                                    if (wait_ec)
                                        self->on_failure(wait_ec);
                                    else
                                        self->accept_waiting();
                                }));
            return;
        }
        try {
            callback(std::move(socket));
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "accept: %s", e.what());
        } catch (...) {
        }
    }
    // More may be waiting: after the loop's other work.
    net::post(strand_, [self = this->shared_from_this()] { self->accept_waiting(); });
}

template <class Protocol>
void Listener<Protocol>::stop() {
    net::dispatch(strand_, [self = this->shared_from_this()] {
        boost::system::error_code ignored;
        self->acceptor.cancel(ignored);
        self->acceptor.close(ignored);
        self->retry_.cancel();
    });
}

template <class Protocol>
void Listener<Protocol>::on_failure(const boost::system::error_code& ec) {
    if (Syslog::get_log_level() >= Syslog::kError) Syslog::log(Syslog::kError, "accept: %s", ec.message().c_str());
    // Most accept failures pass (no descriptors or memory left): pause instead of spinning,
    // then accept again.
    retry_.expires_after(kRetryPause);
    retry_.async_wait(net::bind_executor(
        strand_, [self = this->shared_from_this()](boost::system::error_code wait_ec) {
            if (!wait_ec && self->acceptor.is_open()) self->accept_waiting();
        }));
}

template class Listener<net::ip::tcp>;

}  // namespace framework
