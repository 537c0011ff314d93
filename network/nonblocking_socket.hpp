#pragma once
// TCP sockets that are non-blocking from the call that makes them (accept4, socket with
// SOCK_NONBLOCK) and are handed to Asio as such. Left to itself, Asio sets the mode with an
// ioctl before a socket's first operation, polls once more after a connect has completed,
// and, for a descriptor it did not open, deletes it from epoll before closing it, since it
// must assume a duplicate may outlive the close. None of that is needed for a descriptor
// only this process holds: every connection, accepted or outgoing, saves those calls.
#include <cstddef>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>

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
// fewer system calls. The handler runs on its associated executor, never inside this call.
template <class Handler>
void async_connect_nonblocking(net::ip::tcp::socket& socket, const net::ip::tcp::endpoint& endpoint,
                               Handler&& handler) {
    boost::system::error_code ec;
    const bool ended = (!socket.is_open() && !open_nonblocking(socket, endpoint.protocol(), ec)) ||
                       start_connect(socket, endpoint, ec);
    if (ended) {
        net::post(socket.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), ec));
        return;
    }
    auto executor = net::get_associated_executor(handler, socket.get_executor());
    socket.async_wait(net::socket_base::wait_write,
                      net::bind_executor(executor, [&socket, h = std::forward<Handler>(handler)](
                                                       boost::system::error_code wait_ec) mutable {
                          // The handler keeps the socket's owner alive, and with it the socket.
                          h(wait_ec ? wait_ec : connect_result(socket));
                      }));
}

}  // namespace framework
