#pragma once
// The event loops a role serves its connections on: the process's own loop and one more loop
// per further thread, each with a listener of its own on the one endpoint (see Spread for how
// the connections reach them). A connection lives on the loop that accepted it, with its timers
// and its outgoing requests, so the loops share no lock; only one thread runs each loop. Used
// by the router, the topology merger and the proxies.
//
// Each loop also keeps a heartbeat: a timer due every second while the listeners are open.
// Asio re-arms its timer descriptor whenever a new wait becomes the loop's earliest one; a
// connection's limit (seconds away) never does while a sooner heartbeat is pending, so a
// loop whose connections come and go one at a time pays no system call for their timers. The
// heartbeat also gives back the memory of a burst of connections once none is left (session).
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "network/listener.hpp"
#include "network/namespaces.hpp"

namespace framework {

class ListenerLoops {
public:
    using Listener = framework::Listener<net::ip::tcp>;
    // Runs on the loop that accepted the socket; `peer` is the remote end as accept reported it.
    using Callback = std::function<void(net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint& peer)>;

    static constexpr int kBacklog = 128;

    // How the connections of the endpoint reach the loops.
    enum class Spread {
        // The listeners share one accept queue: every free loop is woken for a new connection
        // and one of them takes it, so no loop sits idle while another has connections waiting
        // (with the kernel's hash, the loop dealt the most connections set the pace and the
        // p99). For clients on other CPUs or machines.
        kByLoad,
        // A queue per listener (SO_REUSEPORT). When the loops keep to their CPUs (serve), each
        // listener carries its loop's CPU: a connection made on one of those CPUs (a role of
        // this machine over loopback) goes to the loop on that CPU, which serves it without
        // waking another one; connections from elsewhere are spread by the kernel's hash.
        kByCpu,
    };

    // `main` is the process's own loop (it also carries the signals and whatever else the role
    // put on it); `name` is the process name of the "%s: run: %s" lines. Both must outlive the
    // object.
    ListenerLoops(net::io_context& main, const std::string& name);
    ~ListenerLoops();
    ListenerLoops(const ListenerLoops&) = delete;
    ListenerLoops& operator=(const ListenerLoops&) = delete;

    // As many loops as the CPUs the process may run on (its affinity mask); else as many as
    // the machine reports hardware threads, 4 when it reports none.
    static unsigned default_count();

    // Opens `count` listeners (at least one) on `endpoint` with a backlog of 128: the first on
    // the main loop, each other one on a loop of its own. Throws what Listener::listen and
    // Listener::listen_with throw (a port of 0, a failed bind); the listeners opened before stay
    // and serve() serves them. Called once.
    // `accept_batch`: Listener::accept_batch of each listener.
    void open(const net::ip::tcp::endpoint& endpoint, unsigned count, Callback callback,
              int accept_batch = Listener::kAcceptBatch, Spread spread = Spread::kByLoad);

    // Runs every further loop on a thread of its own and the main loop on the calling thread,
    // each until it has run out of work, and joins them. An exception out of a loop is logged
    // ("%s: run: %s") and that loop goes on, so no listener is ever left unserved; a loop that
    // gets no thread has its listener closed. Returns 0.
    int serve();

    // Stops accepting (and the heartbeats) on every loop; callable from any thread.
    // Connections under way finish.
    void stop();

    static constexpr std::chrono::seconds kHeartbeat{1};

    std::size_t size() const { return listeners_.size(); }

private:
    net::io_context& main_;
    const std::string& name_;
    // Declared before the listeners, so they outlive what runs on them.
    std::vector<std::unique_ptr<net::io_context>> loops_;
    std::vector<std::shared_ptr<Listener>> listeners_;  // one per loop, the main loop's first
    // One per loop, in the listeners' order; each touched on its own loop only.
    std::vector<std::unique_ptr<net::steady_timer>> heartbeats_;
    Callback callback_;
    Spread spread_ = Spread::kByLoad;
};

}  // namespace framework
