#include "roles/role_server.hpp"

#include <signal.h>

#include <chrono>

#include "config/config.hpp"

namespace roles {

using nlohmann::json;

int64_t uptime_of(const framework::Process& process) {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() -
                                                            process.start_time)
        .count();
}

uint64_t live_connections() {
    const std::size_t live = framework::TcpSession::count_.load() + framework::TlsSession::count_.load();
    return live > 0 ? live - 1 : 0;
}

json status_fields(const framework::Process& process, const Config& config) {
    json status = json::object();
    status["version"] = TRAVINE_VERSION;
    status["uptime"] = uptime_of(process);
    status["work_dir"] = config.get_work_dir();
    status["pid_file"] = config.get_pid_file();
    return status;
}

RoleServer::RoleServer(const std::string& name, const Config& config)
    : framework::Process(name), config(config), loops(io, this->name) {
    add_signal(SIGTERM);
}

json RoleServer::get_status(const Topology* source) const {
    const auto* stats = source ? source->get_stats() : nullptr;
    json topology = json::object();
    topology["success"] = stats ? stats->success.load() : uint64_t{0};
    topology["failed"] = stats ? stats->failed.load() : uint64_t{0};
    json status = status_fields(*this, config);
    status["gw_type"] = config.get_gw_type();
    status["mav_root"] = config.get_mav_root();
    status["topology"] = std::move(topology);
    return status;
}

json RoleServer::get_topology_status(json topology) const {
    json status = json::object();
    status["version"] = TRAVINE_VERSION;
    status["uptime"] = uptime_of(*this);
    status["topology"] = std::move(topology);
    return status;
}

void RoleServer::open(const net::ip::tcp::endpoint& endpoint, int threads,
                      framework::ListenerLoops::Spread spread) {
    loops.open(endpoint, threads > 0 ? static_cast<unsigned>(threads) : framework::ListenerLoops::default_count(),
               [this](net::ip::tcp::socket&& socket, const net::ip::tcp::endpoint&) { on_accept(std::move(socket)); },
               framework::ListenerLoops::Listener::kAcceptBatch, spread);
}

int RoleServer::serve_loops() { return loops.serve(); }

void RoleServer::close() { loops.stop(); }

RoleWorker::RoleWorker(net::ip::tcp::socket&& socket, const RoleServer& role)
    : HttpServerT(std::move(socket)), role(role) {}

RoleWorker::~RoleWorker() { role.total.fetch_add(1); }

void RoleWorker::on_header(boost::string_view field, boost::string_view value) {
    take_rest_id(this->name, field, value);
}

}  // namespace roles
