#pragma once
// TCP sockets that are non-blocking from the call that makes them (accept4, socket with
// SOCK_NONBLOCK) and are handed to Asio as such. Left to itself, Asio sets the mode with an
// ioctl before a socket's first operation, polls once more after a connect has completed,
// and, for a descriptor it did not open, deletes it from epoll before closing it, since it
// must assume a duplicate may outlive the close. None of that is needed for a descriptor
// only this process holds: every connection, accepted or outgoing, saves those calls. A whole
// HTTP message goes out on such a socket in one sendmsg (`send_message_now`).
#include <sys/types.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffer_traits.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/message.hpp>

#include "network/namespaces.hpp"

namespace framework {

// Accepts one waiting connection from a non-blocking listening socket into `socket` (closed,
// of the loop the connection is to live on) and fills `peer`. False with `ec` set when none
// was accepted: would_block when no connection is waiting.
bool accept_nonblocking(net::ip::tcp::acceptor& acceptor, net::ip::tcp::socket& socket,
                        net::ip::tcp::endpoint& peer, boost::system::error_code& ec);

// Opens the closed `socket` for `protocol`, non-blocking and close-on-exec.
bool open_nonblocking(net::ip::tcp::socket& socket, const net::ip::tcp& protocol,
                      boost::system::error_code& ec);

// Starts connecting the (open, non-blocking) socket. True when that has ended already: the
// connection is made, or failed with `ec`; false when it completes later (writable).
bool start_connect(net::ip::tcp::socket& socket, const net::ip::tcp::endpoint& endpoint,
                   boost::system::error_code& ec);

// The outcome of a connect that has completed (SO_ERROR).
boost::system::error_code connect_result(net::ip::tcp::socket& socket);

// What socket.async_connect does (a closed socket is opened for the endpoint's family; the
// handler gets success, the failure, or operation_aborted when the socket was closed), in
// fewer system calls. The handler runs on its associated executor, never inside this call,
// unless `at_once`: a connect that ended at once (on loopback, or refused) is then reported
// inside this call when the caller runs on that executor already, in the same turn of the loop.
template <class Handler>
void async_connect_nonblocking(net::ip::tcp::socket& socket, const net::ip::tcp::endpoint& endpoint,
                               Handler&& handler, bool at_once = false) {
    boost::system::error_code ec;
    const bool ended = (!socket.is_open() && !open_nonblocking(socket, endpoint.protocol(), ec)) ||
                       start_connect(socket, endpoint, ec);
    auto executor = net::get_associated_executor(handler, socket.get_executor());
    if (ended) {
        auto done = beast::bind_front_handler(std::forward<Handler>(handler), ec);
        if (at_once)
            net::dispatch(executor, std::move(done));
        else
            net::post(executor, std::move(done));
        return;
    }
    socket.async_wait(net::socket_base::wait_write,
                      net::bind_executor(executor, [&socket, h = std::forward<Handler>(handler)](
                                                       boost::system::error_code wait_ec) mutable {
                          // The handler keeps the socket's owner alive, and with it the socket.
                          h(wait_ec ? wait_ec : connect_result(socket));
                      }));
}

// One recv into `space` that does not wait, retried when a signal interrupts it. True when it
// ended: `n` bytes taken, or the end of the stream (eof) or a failure in `ec`; false when
// nothing is there yet.
bool receive_now(net::ip::tcp::socket& socket, const net::mutable_buffer& space, std::size_t& n,
                 boost::system::error_code& ec);

// One sendmsg that does not wait, retried when a signal interrupts it: the bytes taken, or
// -1 with errno set.
ssize_t send_nonblocking(int fd, iovec* iov, std::size_t count);

namespace detail {

constexpr std::size_t kMaxSendBuffers = 64;

template <class Buffers>
bool add_buffers(const Buffers& buffers, iovec* iov, std::size_t& count, std::size_t& total) {
    for (const auto b : beast::buffers_range_ref(buffers)) {
        if (b.size() == 0) continue;
        if (count == kMaxSendBuffers) return false;
        iov[count].iov_base = const_cast<void*>(b.data());
        iov[count].iov_len = b.size();
        total += b.size();
        ++count;
    }
    return true;
}

}  // namespace detail

// Sends a whole HTTP message that is not chunked, its header and body together, in one system
// call straight from where they are kept. True when that is the end of it: all sent, or failed
// (`ec` set); false with the count of what was `sent` when the socket took less (and, given
// `rest`, a copy of what it did not take there), or when the message has more pieces than one
// call carries. The serializer's layered views of the same buffers cost as much as the rest
// of a message's own work together.
template <class Message>
bool send_message_now(net::ip::tcp::socket& socket, const Message& message, std::size_t& sent,
                      boost::system::error_code& ec, std::string* rest = nullptr) {
    sent = 0;
    using Fields = typename Message::fields_type;
    const Fields& fields = message;
    // The writer's buffers point into the writer itself: it is made in place.
    std::optional<typename Fields::writer> writer;
    if constexpr (Message::is_request::value)
        writer.emplace(fields, message.version(), message.method());
    else
        writer.emplace(fields, message.version(), message.result_int());
    iovec iov[detail::kMaxSendBuffers];
    std::size_t count = 0;
    std::size_t total = 0;
    if (!detail::add_buffers(writer->get(), iov, count, total) ||
        !detail::add_buffers(message.body().data(), iov, count, total))
        return false;
    const ssize_t n = send_nonblocking(socket.native_handle(), iov, count);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        ec.assign(errno, boost::system::system_category());
        return true;
    }
    sent = static_cast<std::size_t>(n);
    if (sent == total) return true;
    if (rest != nullptr) {
        std::size_t skip = sent;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = iov[i].iov_len;
            if (skip >= size) {
                skip -= size;
                continue;
            }
            rest->append(static_cast<const char*>(iov[i].iov_base) + skip, size - skip);
            skip = 0;
        }
    }
    return false;
}

// Steps a new serializer of the same message past its first `sent` bytes, which have gone
// out already.
template <class Serializer>
void skip_sent(Serializer& sr, std::size_t sent, boost::system::error_code& ec) {
    while (sent > 0 && !sr.is_done()) {
        std::size_t size = 0;
        sr.next(ec, [&](boost::system::error_code&, const auto& buffers) {
            size = beast::buffer_bytes(buffers);
        });
        if (ec || size == 0) return;
        const std::size_t step = std::min(size, sent);
        sr.consume(step);
        sent -= step;
    }
}

}  // namespace framework
