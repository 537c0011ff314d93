#include "roles/router.hpp"

#include <signal.h>

#include <atomic>
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/beast/core/buffers_to_string.hpp>

#include "common/strings.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"
#include "config/router-config.hpp"
#include "rules/compatibility-19-4-rule.hpp"
#include "rules/error-rule.hpp"
#include "rules/vex-force-node-rule.hpp"
#include "rules/vex-go-node-rule.hpp"
#include "rules/vex-operation-id-rule.hpp"
#include "rules/vex-route-rule.hpp"
#include "rules/vex-tenant-rule.hpp"
#include "rules/zeb-host-rule.hpp"
#include "rules/zeb-node-alias-rule.hpp"

namespace routing {

namespace {

using framework::Syslog;
using nlohmann::json;

constexpr std::string_view kNoAnswer = R"({"error":"no rule answered"})";

using framework::iequals;

// Every topology client a router serves with, told apart by a number never reused (an
// address may be).
std::atomic<uint64_t> routers{0};

// The snapshot as the loop of this thread last read it from the topology client. The rules
// read it several times per request on every loop: a loop takes the client's lock only when
// the client has applied an answer since, and the copies it hands out count their references
// in a block of its own, so the loops share no lock and no counter.
struct LoopSnapshot {
    uint64_t router = 0;      // 0: nothing read yet
    uint64_t applied = 0;     // the client's success count when `data` was read
    std::shared_ptr<std::shared_ptr<TopologyData>> data;
};
thread_local LoopSnapshot loop_snapshot;

}  // namespace

Router::Router(const Config& config) : RoleServer("router", config) {}

// Rules first (they hold references into the section), then the topology client, then the
// loops with their listeners; the process base goes last.
Router::~Router() {
    rules.clear();
    topology.reset();
}

int Router::main() { return serve(0); }

void Router::build_chain() {
    rules.push_back(std::make_unique<VexForceNodeRule>(*this));
    rules.push_back(std::make_unique<VexGoNodeRule>(*this));
    rules.push_back(std::make_unique<VexOperationIdRule>(*this));
    rules.push_back(std::make_unique<VexRouteRule>(*this));
    rules.push_back(std::make_unique<ZebHostRule>(*this));
    rules.push_back(std::make_unique<ZebNodeAliasRule>(*this));
    rules.push_back(std::make_unique<VexTenantRule>(*this));
    rules.push_back(std::make_unique<Compatibility194Rule>(*this));
    rules.push_back(std::make_unique<ErrorRule>(*this));
}

int Router::serve(int threads) {
    // A reload may have removed the section, or it may have failed: the child then fails
    // and is started again until a reload brings it back.
    section = get_config().get_router();
    if (!section) throw std::runtime_error("router: no router section in the configuration");
    const auto root = get_config().get_mav_root();
    Syslog::log(Syslog::kInfo, "MAV path: %.*s", static_cast<int>(root.size()), root.data());

    rules.clear();
    build_chain();

    // In a ZEB gateway the router's clients are the gateway's own proxies, on the same CPUs:
    // each connection is best served on the CPU that made it.
    using Spread = framework::ListenerLoops::Spread;
    open(section->listen.endpoint(), threads,
         framework::iequals(get_config().get_gw_type(), "ZEB") ? Spread::kByCpu : Spread::kByLoad);

    serial = routers.fetch_add(1) + 1;  // before the loops run: they read it
    topology = std::make_unique<TopologyClient>(get_config(), section->filter, section->topology_url,
                                                static_cast<uint16_t>(section->update_period_sec),
                                                io, nullptr, nullptr);
    topology->update();
    return serve_loops();
}

void Router::on_accept(net::ip::tcp::socket&& socket) {
    std::make_shared<Worker>(std::move(socket), *this)->accept();
}

void Router::on_stop() {
    if (topology) topology->stop();
    close();
}

std::shared_ptr<TopologyData> Router::get_topology() const {
    if (!topology) return nullptr;
    // The client counts an answer once its snapshot is in place: a count seen new is never
    // paired with the snapshot before it.
    const uint64_t applied = topology->get_stats()->success.load();
    auto& local = loop_snapshot;
    if (local.router != serial || local.applied != applied || !local.data) {
        local.data = std::make_shared<std::shared_ptr<TopologyData>>(topology->get());
        local.router = serial;
        local.applied = applied;
    }
    if (!*local.data) return nullptr;
    return std::shared_ptr<TopologyData>(local.data, local.data->get());
}

const json& Router::get_rule_config(std::string_view name) const {
    static const json kNone = json::object();
    return section ? section->get_rule_config(name) : kNone;
}

std::string_view Router::get_mav_root() const { return get_config().get_mav_root(); }

Worker::Worker(net::ip::tcp::socket&& socket, const Router& router)
    : RoleWorker(std::move(socket), router), next_rule(router.rules.begin()), router(router) {}

void Worker::on_request(parser_type& p) {
    auto& request = p.get();
    const auto target = request.target();
    switch (request.method()) {
        case http::verb::get:
            if (iequals(target, "/status")) {
                get_status();
            } else if (iequals(target, "/topology")) {
                get_topology_status();
            } else {
                Rule::headers_fixup(request);
                get_route();
            }
            return;
        case http::verb::post:
            if (Syslog::get_log_level() >= Syslog::kDebug4 && request.body().size() > 0)
                Syslog::log(Syslog::kDebug4, "mock/request: %s",
                            beast::buffers_to_string(request.body().data()).c_str());
            if (iequals(target, "/mock/routetoken"))
                send_file("mock_responces/route-token.json", "application/json");
            else if (iequals(target, "/mock/topology"))
                send_file("mock_responces/si-topology-info.json", "application/json");
            else if (iequals(target, "/mock/leaf-components"))
                send_file("mock_responces/si-leaf-components.json", "application/json");
            else
                respond(http::status::bad_request, {}, {});
            return;
        default:
            respond(http::status::method_not_allowed, {}, {});
            return;
    }
}

bool Worker::get_route() {
    const auto& message = parser->get();
    const auto target = message.target();
    const Rule::Request request{std::string_view(this->name), message,
                                std::string_view(target.data(), target.size())};
    while (next_rule != router.rules.end()) {
        const Rule& rule = **next_rule;
        ++next_rule;
        Result r(Result::Skip);
        try {
            r = rule.get_route(request);
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "%s: %s", this->name, e.what());
            continue;
        } catch (...) {
            Syslog::log(Syslog::kError, "%s: unknown error", this->name);
            continue;
        }
        const auto rule_name = rule.get_name();
        switch (r.type) {
            case Result::Skip:
                if (Syslog::get_log_level() >= Syslog::kDebug)
                    Syslog::log(Syslog::kDebug, rule.is_enabled() ? "%s: %.*s: skipped" : "%s: %.*s: disabled",
                                this->name, static_cast<int>(rule_name.size()), rule_name.data());
                continue;
            case Result::Route:
            case Result::Error: {
                // Dumped once: the same text is logged and answered.
                const std::string body = Rule::dump_answer(r);
                const int level = r.type == Result::Route ? 6 : 3;
                if (Syslog::get_log_level() >= level)
                    Syslog::log(level, "%s: %.*s: %s", this->name, static_cast<int>(rule_name.size()),
                                rule_name.data(), body.c_str());
                respond(r.status, body, "application/json");
                return true;
            }
            case Result::Pending:
                return true;
        }
    }
    // Every rule skipped or threw: answer now rather than leave the client to the time limit.
    Syslog::log(Syslog::kError, "%s: no rule answered", this->name);
    respond(http::status::service_unavailable, kNoAnswer, "application/json");
    return true;
}

bool Worker::get_status() {
    json rules = json::array();
    for (const auto& rule : router.rules)
        if (rule->is_enabled()) rules.push_back(rule->get_stats());
    json routing = json::object();
    routing["total"] = router.total.load();
    routing["active"] = roles::live_connections();
    routing["rules"] = std::move(rules);
    json status = router.get_status(router.topology.get());
    status["routing"] = std::move(routing);
    return respond(http::status::ok, status);
}

bool Worker::get_topology_status() {
    const auto snapshot = router.get_topology();
    return respond(http::status::ok, router.get_topology_status(snapshot ? snapshot->get_json() : json(nullptr)));
}

}  // namespace routing
