#pragma once
// The topology merger role: polls every configured topology service with its own topology
// client, merges what they report in the arbiter, keeps the merged topology in the cache files
// and serves it over HTTP: the merged envelope on POST "/leaf-components" (in the form of a
// topology service's answer, so that a router can poll the merger), the envelope inside a
// small status object on GET "/topology", and the role's status on GET "/status" and "/".
//
// `TopologyMerger` is the role's process object (built in the master, run in the forked
// child); its TopologyClientsPool holds the clients that feed the arbiter; `Worker` is one
// connection, one request.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include "roles/role_server.hpp"
#include "topology/topology_arbiter_basic.hpp"
#include "topology/topology_clients_pool.hpp"

class Config;
class TopologyMergerConfig;
namespace json_tools::filter {
class Node;
}

namespace topology_merging {

class TopologyMerger : public roles::RoleServer {
public:
    // The process object named "topology", with SIGTERM in its signal set. `config` must
    // outlive it. Nothing is read from the merger section until the role runs.
    explicit TopologyMerger(const Config& config);
    // The pool goes first (its clients feed the arbiter), then the arbiter, then the loops
    // with their listeners.
    ~TopologyMerger() override;

    // The child's main routine: serve(0).
    int main() override;
    // Reads the merger section (throws when it is off), loads the cache files, builds the
    // arbiter and the clients pool on the process's own loop, sends the first polls, opens
    // one listener per loop on `threads` loops (0 or less: as many as the machine reports;
    // framework::ListenerLoops) and serves until the listeners are closed and no work
    // remains. Tests call it in-process, on a thread of their own.
    int serve(int threads);

    // One Worker per accepted socket, on the loop that accepted it.
    void on_accept(boost::asio::ip::tcp::socket&& socket) override;
    // SIGTERM: closes the listeners and stops polling; connections under way finish.
    void on_stop() override;

    // Freshness limit of the merge: three poll periods, saturated to 16 bits.
    static uint16_t max_age(uint32_t period);

    // Public, not private: tests check that a failed start has built neither. Null until
    // serve; the arbiter owns the cache manager.
    std::unique_ptr<Topology> pool;
    std::unique_ptr<TopologyArbiter> arbiter;

private:
    // Keeps the section, and so the filter the clients read with, alive for the role's life.
    std::shared_ptr<TopologyMergerConfig> section;
};

class Worker : public roles::RoleWorker {
public:
    // Named "merger(n)", n the live plain-TCP session count.
    Worker(boost::asio::ip::tcp::socket&& socket, const TopologyMerger& merger);

    // The role's status, the merged envelope inside a status object, and the envelope.
    bool get_status();
    bool get_topology_status();
    bool get_topology();

    std::shared_ptr<Worker> shared_from_this() {
        return std::static_pointer_cast<Worker>(HttpServerT::shared_from_this());
    }

protected:
    void on_request(parser_type& parser) override;

private:
    const TopologyMerger* merger;
};

}  // namespace topology_merging
