#pragma once
// The TCP acceptor of a role: listens on one endpoint and hands every accepted socket
// to the role's callback: on each wake-up it takes the connections that are waiting (a
// bounded batch, then its turn goes to the loop's other work), each non-blocking from the
// accept itself. The owner stops it with `stop`.
// A failed accept (out of descriptors, say) is logged and retried after a short pause, so
// a transient shortage never leaves the listener deaf. Its completions run on a strand of
// its own, so stopping never races an accept that is completing on another loop thread.
#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "network/namespaces.hpp"

namespace framework {

template <class Protocol>
class Listener : public std::enable_shared_from_this<Listener<Protocol>> {
public:
    using socket_type = typename Protocol::socket;
    using endpoint_type = typename Protocol::endpoint;
    using callback_type = std::function<void(socket_type&&)>;

    static constexpr std::chrono::milliseconds kRetryPause{1000};

    Listener(net::io_context& io, callback_type cb);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Connections taken in one turn before the loop's other work has its turn: a burst of
    // plain connections costs one wait. A listener whose connections start with costly work
    // (a TLS handshake) takes one a turn, so that connections already under way go first.
    static constexpr int kAcceptBatch = 32;

    // Opens the acceptor (SO_REUSEADDR and SO_REUSEPORT, non-blocking), binds, listens and
    // starts accepting on the strand. Throws std::runtime_error "listen: invalid port value"
    // for port 0 and boost::system::system_error ("open", "set_option", "bind", "listen",
    // "non_blocking": ...) otherwise.
    void listen(const endpoint_type& ep, int backlog);
    // Starts accepting, on the strand, from the socket `first` listens on (through a
    // descriptor of its own), so both take connections from the one queue. Throws
    // boost::system::system_error ("assign", "non_blocking": ...) or std::system_error (dup).
    void listen_with(Listener& first);
    // Stops accepting: the acceptor is closed on the listener's strand (from any thread;
    // the close itself runs on a loop thread), and the pending wait ends silently.
    void stop();
    // The remote end of the connection being handed to the callback, as accept reported it
    // (valid during the callback only).
    const endpoint_type& peer() const { return peer_; }

    callback_type callback;
    int accept_batch = kAcceptBatch;  // set before listen
    typename Protocol::acceptor acceptor;
    endpoint_type endpoint;

private:
    // Makes the acceptor non-blocking and starts accepting on the strand.
    void start_accepting();
    // Accepts what is waiting, then waits for more; on the strand. Its waits hold the listener.
    void accept_waiting();
    void on_failure(const boost::system::error_code& ec);

    net::strand<net::io_context::executor_type> strand_;
    net::steady_timer retry_;
    endpoint_type peer_;  // filled by each accept
};

extern template class Listener<net::ip::tcp>;

}  // namespace framework
