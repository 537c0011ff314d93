#pragma once
// The router role: answers routing questions. It listens on the router section's address,
// keeps one topology client polling the section's topology source, and answers every GET by
// running the chain of nine rules over the request's fields and target against the current
// snapshot. It also answers "/status", "/topology" and three canned test POSTs.
//
// `Router` is the role's process object (built in the master, run in the forked child);
// `Worker` is one connection, one request. The rules are built in the child, once, and are
// shared by every connection and every event-loop thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "roles/role_server.hpp"
#include "rules/rule.hpp"
#include "topology/topology_client.hpp"

class Config;
class RouterConfig;

namespace routing {

class Router : public roles::RoleServer, public RuleOwner {
public:
    using Rules = std::vector<std::unique_ptr<Rule>>;

    // The process object named "router", with SIGTERM in its signal set. `config` must
    // outlive it. Nothing is read from the router section until the role runs.
    explicit Router(const Config& config);
    ~Router() override;

    // The child's main routine: serve(0).
    int main() override;
    // Reads the router section (throws when it is off), builds the rule chain, opens one
    // listener per loop on `threads` loops (0 or less: as many as the machine reports;
    // framework::ListenerLoops), creates the topology client on the process's own loop and
    // sends the first poll, then serves until the listeners are closed and no work remains.
    // Tests call it in-process, on a thread of their own.
    int serve(int threads);

    // One Worker per accepted socket, on the loop that accepted it.
    void on_accept(boost::asio::ip::tcp::socket&& socket) override;
    // SIGTERM: stops polling and closes the listeners; connections under way finish.
    void on_stop() override;

    // What the rules see. The snapshot is the client's current one, read through a copy kept
    // per loop thread (refreshed whenever the client has applied an answer since).
    std::shared_ptr<TopologyData> get_topology() const override;
    const nlohmann::json& get_rule_config(std::string_view name) const override;
    std::string_view get_mav_root() const override;

protected:
    // Appends the nine rules in chain order; called by serve once the section is read.
    virtual void build_chain();

    // The chain, in the order it is asked. Protected, not private: a test's router builds a
    // chain of its own in build_chain.
    Rules rules;

private:
    friend class Worker;  // runs the chain and reads the poll counters

    std::unique_ptr<Topology> topology;  // null until serve
    // Keeps the section, and so the rules' settings, alive for the role's whole life.
    std::shared_ptr<RouterConfig> section;
    uint64_t serial = 0;  // names the topology client in the per-loop snapshot copies
};

class Worker : public roles::RoleWorker {
public:
    Worker(boost::asio::ip::tcp::socket&& socket, const Router& router);

    // Runs the chain for the request and answers with the first outcome that is not a
    // skip; 503 {"error": "no rule answered"} should every rule skip or throw. True.
    bool get_route();
    // The role's status and its topology snapshot, as JSON.
    bool get_status();
    bool get_topology_status();

protected:
    void on_request(parser_type& parser) override;

private:
    Router::Rules::const_iterator next_rule;
    const Router& router;
};

}  // namespace routing
