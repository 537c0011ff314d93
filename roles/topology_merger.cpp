#include "roles/topology_merger.hpp"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "common/strings.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"
#include "config/topology_merger-config.hpp"
#include "network/url.hpp"
#include "topology/topology_cache_manager_basic.hpp"

using framework::Syslog;
using nlohmann::json;

namespace {

constexpr uint32_t kMax16 = 0xFFFF;

}  // namespace

namespace topology_merging {

using framework::iequals;

TopologyMerger::TopologyMerger(const Config& config)
    : RoleServer("topology", config) {}

TopologyMerger::~TopologyMerger() {
    pool.reset();
    arbiter.reset();
}

int TopologyMerger::main() { return serve(0); }

uint16_t TopologyMerger::max_age(uint32_t period) {
    // Saturated, not cut: a long period must not wrap to a freshness limit of a few seconds,
    // which would make every other client stale.
    return static_cast<uint16_t>(std::min<uint64_t>(uint64_t{3} * period, kMax16));
}

int TopologyMerger::serve(int threads) {
    // A reload may have removed the section, or it may have failed: the child then fails
    // and is started again until a reload brings it back.
    section = get_config().get_topology_merger();
    if (!section)
        throw std::runtime_error("topology_merger: no topology_merger section in the configuration");
    const auto root = get_config().get_mav_root();
    Syslog::log(Syslog::kInfo, "MAV path: %.*s", static_cast<int>(root.size()), root.data());

    Syslog::log(Syslog::kInfo, "Create CacheManager...");
    auto cache = std::make_unique<TopologyCacheManagerBasic>(
        section->filter, root, section->topology_cache_current, section->topology_cache_previous,
        section->topology_initial);
    Syslog::log(Syslog::kInfo, "Create CacheManager... Done");

    Syslog::log(Syslog::kInfo, "Create TopologyArbiter...");
    arbiter = std::make_unique<TopologyArbiterBasic>(root, max_age(section->update_period_in_sec),
                                                     std::move(cache));
    Syslog::log(Syslog::kInfo, "Create TopologyArbiter... Done");

    Syslog::log(Syslog::kInfo, "Create TopologyClientsPool...");
    pool = std::make_unique<TopologyClientsPool>(get_config(), section->filter, io, arbiter.get());
    Syslog::log(Syslog::kInfo, "Create TopologyClientsPool... Done");

    // The requests go out once the event loop runs.
    Syslog::log(Syslog::kInfo, "Start topology update");
    pool->update();

    Syslog::log(Syslog::kInfo, "Create Topology listener...");
    Syslog::log(Syslog::kInfo, "Create Topology listener... Done");

    Syslog::log(Syslog::kInfo, "Start topology listener");
    open(section->listen.endpoint(), threads);

    Syslog::log(Syslog::kInfo, "Run ASIO");
    return serve_loops();
}

void TopologyMerger::on_accept(net::ip::tcp::socket&& socket) {
    std::make_shared<Worker>(std::move(socket), *this)->accept();
}

void TopologyMerger::on_stop() {
    close();
    if (pool) pool->stop();
}

Worker::Worker(net::ip::tcp::socket&& socket, const TopologyMerger& merger)
    : RoleWorker(std::move(socket), merger), merger(&merger) {
    // The count already includes this connection.
    const std::size_t count = framework::TcpSession::count_.load();
    if (count != 0)
        std::snprintf(this->name, sizeof this->name, "%.*s(%zu)", 6, "merger", count);
    else
        std::snprintf(this->name, sizeof this->name, "%.*s", 6, "merger");
}

void Worker::on_request(parser_type& p) {
    const auto& request = p.get();
    const auto target = request.target();
    switch (request.method()) {
        case http::verb::get:
            if (iequals(target, "/status") || target == "/")
                get_status();
            else if (iequals(target, "/topology"))
                get_topology_status();
            else
                respond(http::status::bad_request, {}, {});
            return;
        case http::verb::post:
            if (iequals(target, "/leaf-components"))
                get_topology();
            else
                respond(http::status::bad_request, {}, {});
            return;
        default:
            respond(http::status::method_not_allowed, {}, {});
            return;
    }
}

bool Worker::get_status() {
    // Every live connection of the process, the clients' request objects included, but the
    // one asking.
    json mergering = json::object();
    mergering["total"] = merger->total.load();
    mergering["active"] = roles::live_connections();
    json status = merger->get_status(merger->pool.get());
    status["topology_mergering"] = std::move(mergering);
    return respond(http::status::ok, status);
}

bool Worker::get_topology_status() {
    return respond(http::status::ok,
                   merger->get_topology_status(merger->arbiter ? merger->arbiter->to_json() : json(nullptr)));
}

bool Worker::get_topology() {
    const json envelope = merger->arbiter ? merger->arbiter->to_json() : json(nullptr);
    if (Syslog::get_log_level() >= Syslog::kDebug3)
        Syslog::log(Syslog::kDebug3, "%s: ON_REQUEST it is POST - get_topology:%s", this->name,
                    envelope.dump(4).c_str());
    return respond(http::status::ok, envelope);
}

}  // namespace topology_merging
