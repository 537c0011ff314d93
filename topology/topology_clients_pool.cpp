#include "topology/topology_clients_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "config/config.hpp"
#include "config/topology_merger-config.hpp"
#include "network/url.hpp"

namespace {

constexpr uint32_t kMax16 = 0xFFFF;

// Raises `counter` to `value` unless it is already higher, so concurrent refreshes never
// make it go back.
void raise_to(std::atomic<uint64_t>& counter, uint64_t value) {
    uint64_t seen = counter.load();
    while (seen < value && !counter.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace

TopologyClientsPool::TopologyClientsPool(const Config& config,
                                         const json_tools::filter::Node& filter,
                                         boost::asio::io_context& io, TopologyArbiter* arbiter)
    : arbiter(arbiter), config(&config) {
    if (arbiter == nullptr) throw std::runtime_error("Arbiter MUST be NOT null!");
    const auto section = config.get_topology_merger();
    if (!section) return;
    const uint16_t period = client_period(section->update_period_in_sec);
    unsigned long n = 0;
    for (const auto& text : section->clients) {
        char label[32];
        std::snprintf(label, sizeof label, "topo_client_#%lu", n++);
        std::string name(label);
        // Parsed and looked up at once; a URL that does not resolve makes a client whose
        // polls fail, and which so stays stale for the arbiter.
        const framework::Url url(text);
        clients.push_back(
            std::make_shared<TopologyClient>(config, filter, url, period, io, arbiter, &name));
        // The same text the client hands to apply_update.
        arbiter->add_client(url.text);
    }
}

TopologyClientsPool::~TopologyClientsPool() { clients.clear(); }

uint16_t TopologyClientsPool::client_period(uint32_t period) {
    // Saturated, not cut: a long period must not wrap to 0 (one poll only); the client
    // caps the period itself.
    return static_cast<uint16_t>(std::min(period, kMax16));
}

void TopologyClientsPool::update() {
    for (const auto& client : clients) client->update();
}

void TopologyClientsPool::stop() {
    for (const auto& client : clients) client->stop();
}

std::shared_ptr<TopologyData> TopologyClientsPool::get() const { return arbiter->get(); }

const Topology::Stats* TopologyClientsPool::get_stats() const {
    uint64_t success = 0;
    uint64_t failed = 0;
    for (const auto& client : clients) {
        const auto* counters = client->get_stats();
        success += counters->success.load();
        failed += counters->failed.load();
    }
    raise_to(stats.success, success);
    raise_to(stats.failed, failed);
    return &stats;
}
