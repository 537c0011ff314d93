#include "network/nonblocking_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/detail/socket_ops.hpp>

namespace framework {
namespace {

using error_code = boost::system::error_code;

error_code last_error() { return error_code(errno, boost::system::system_category()); }

// Asio keeps what it knows of a socket's descriptor in the socket's implementation, out of
// reach of its public interface; a class derived from the socket may name it, and the
// member pointer it forms works on any socket.
struct StateAccess : net::ip::tcp::socket {
    static auto& state(net::ip::tcp::socket& socket) {
        return (socket.*(&StateAccess::impl_)).get_implementation().state_;
    }
};

// Hands Asio a descriptor made non-blocking by the call that created it and held by no one
// else: Asio then needs no ioctl before the first operation and no EPOLL_CTL_DEL at close.
bool adopt(net::ip::tcp::socket& socket, const net::ip::tcp& protocol, int fd, error_code& ec) {
    socket.assign(protocol, fd, ec);
    if (ec) {
        ::close(fd);
        return false;
    }
    namespace ops = net::detail::socket_ops;
    auto& state = StateAccess::state(socket);
    state = static_cast<ops::state_type>((state | ops::internal_non_blocking) & ~ops::possible_dup);
    return true;
}

}  // namespace

bool accept_nonblocking(net::ip::tcp::acceptor& acceptor, net::ip::tcp::socket& socket,
                        net::ip::tcp::endpoint& peer, error_code& ec) {
    for (;;) {
        socklen_t length = static_cast<socklen_t>(peer.capacity());
        const int fd = ::accept4(acceptor.native_handle(), peer.data(), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            peer.resize(length);
            return adopt(socket, peer.protocol(), fd, ec);
        }
        // A signal, or a connection reset while it waited: the next one may be there.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        ec = errno == EAGAIN || errno == EWOULDBLOCK ? error_code(net::error::would_block) : last_error();
        return false;
    }
}

bool open_nonblocking(net::ip::tcp::socket& socket, const net::ip::tcp& protocol, error_code& ec) {
    const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        ec = last_error();
        return false;
    }
    return adopt(socket, protocol, fd, ec);
}

bool start_connect(net::ip::tcp::socket& socket, const net::ip::tcp::endpoint& endpoint, error_code& ec) {
    if (::connect(socket.native_handle(), endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0) {
        ec = {};
        return true;
    }
    // Interrupted, a non-blocking connect goes on all the same.
    if (errno != EINPROGRESS && errno != EINTR) {
        ec = last_error();
        return true;
    }
    // On loopback the handshake has run within connect by the time it returns: a connection
    // that already has its peer needs no writability wait (an epoll_ctl and a loop turn).
    if (endpoint.address().is_loopback()) {
        sockaddr_storage peer;
        socklen_t length = sizeof peer;
        if (::getpeername(socket.native_handle(), reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
            ec = {};
            return true;
        }
    }
    return false;
}

bool receive_now(net::ip::tcp::socket& socket, const net::mutable_buffer& space, std::size_t& n,
                 error_code& ec) {
    ssize_t got;
    do got = ::recv(socket.native_handle(), space.data(), space.size(), MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    n = 0;
    if (got > 0) {
        n = static_cast<std::size_t>(got);
        ec = {};
    } else if (got == 0) {
        ec = net::error::eof;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return false;
    } else {
        ec = last_error();
    }
    return true;
}

ssize_t send_nonblocking(int fd, iovec* iov, std::size_t count) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    ssize_t n;
    do n = ::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
}

error_code connect_result(net::ip::tcp::socket& socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return last_error();
    return error == 0 ? error_code() : error_code(error, boost::system::system_category());
}

}  // namespace framework
