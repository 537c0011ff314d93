#pragma once
// What the roles that serve HTTP share. `RoleServer` is the skeleton of the router and the
// topology merger: a process with SIGTERM in its signal set that serves its connections on
// framework::ListenerLoops, counts the ones that ended, and answers the two documents both
// roles give ("/status" and "/topology") around the fields each adds. `RoleWorker` is one
// connection of such a role. The free functions are the pieces the proxies use as well.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "common/process.hpp"
#include "common/strings.hpp"
#include "network/http_server.hpp"
#include "network/listener_loops.hpp"
#include "topology/topology_client.hpp"

class Config;

namespace roles {

// Seconds since the process started.
int64_t uptime_of(const framework::Process& process);

// Every live connection of the process, outgoing ones included, less the one asking.
uint64_t live_connections();

// The fields every status document starts with: "version", "uptime", "work_dir", "pid_file".
nlohmann::json status_fields(const framework::Process& process, const Config& config);

// A "vex-rest-id" header (any case) names the connection in every later log line.
template <std::size_t N>
void take_rest_id(char (&name)[N], boost::string_view field, boost::string_view value) {
    if (framework::iequals(field, "vex-rest-id"))
        std::snprintf(name, N, "%.*s", static_cast<int>(value.size()), value.data());
}

class RoleServer : public framework::Process {
public:
    // The process object named `name`, with SIGTERM in its signal set. `config` must outlive
    // it.
    RoleServer(const std::string& name, const Config& config);

    // The listeners' callback: one connection per accepted socket, on the loop that accepted
    // it, held only by its operations.
    virtual void on_accept(boost::asio::ip::tcp::socket&& socket) = 0;

    // "/status" as far as the roles share it: status_fields, "gw_type", "mav_root" and the
    // poll counters of `source` under "topology" (0 and 0 without one); the role adds its own.
    nlohmann::json get_status(const Topology* source) const;
    // "/topology": "version", "uptime" and `topology`.
    nlohmann::json get_topology_status(nlohmann::json topology) const;

    // Ended connections, status requests included. Public: tests wait on it.
    mutable std::atomic<uint64_t> total{0};

protected:
    const Config& get_config() const { return config; }

    // Opens one listener per loop on `threads` loops (0 or less: as many as the machine
    // reports) on `endpoint`; throws what framework::ListenerLoops::open throws.
    void open(const boost::asio::ip::tcp::endpoint& endpoint, int threads,
              framework::ListenerLoops::Spread spread = framework::ListenerLoops::Spread::kByLoad);
    // Serves until the listeners are closed and no work remains (framework::ListenerLoops).
    int serve_loops();
    // Stops accepting on every loop; connections under way finish.
    void close();

private:
    const Config& config;
    // The last of the role's members to go, so the loops and their listeners outlive
    // whatever the role runs on them.
    framework::ListenerLoops loops;
};

// One connection of a RoleServer: named by a "vex-rest-id" header, counted in the role's
// `total` when it ends.
class RoleWorker : public framework::HttpServerT<framework::TcpSession> {
public:
    RoleWorker(boost::asio::ip::tcp::socket&& socket, const RoleServer& role);
    ~RoleWorker() override;

protected:
    void on_header(boost::string_view name, boost::string_view value) override;

private:
    const RoleServer& role;
};

}  // namespace roles
