#pragma once
// The topology merger's source: one topology client per configured URL, all feeding one
// arbiter, which holds the merged list.
#include <cstdint>
#include <list>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "topology/topology_arbiter_basic.hpp"
#include "topology/topology_client.hpp"

class Config;
namespace json_tools::filter {
class Node;
}

// The merger's topology source: one client per configured URL, all feeding one arbiter,
// which holds the merged list that get() returns.
class TopologyClientsPool : public Topology {
public:
    // Builds one client per URL of the section, in the section's (ascending) order, named
    // "topo_client_#<n>" from 0, and registers each with the arbiter under its URL text.
    // `config`, `filter`, `io` and `arbiter` must outlive the pool. Throws "Arbiter MUST be
    // NOT null!" without an arbiter.
    TopologyClientsPool(const Config& config, const json_tools::filter::Node& filter,
                        boost::asio::io_context& io, TopologyArbiter* arbiter);
    ~TopologyClientsPool() override;
    TopologyClientsPool(const TopologyClientsPool&) = delete;
    TopologyClientsPool& operator=(const TopologyClientsPool&) = delete;

    // Every client, in list order.
    void update() override;
    void stop() override;
    // A snapshot of the merged list.
    std::shared_ptr<TopologyData> get() const override;
    // The clients' polls added up; the pair only grows.
    const Stats* get_stats() const override;

    // Poll period of the clients: the section's period, saturated to 16 bits.
    static uint16_t client_period(uint32_t period);

    std::list<std::shared_ptr<TopologyClient>> clients;

private:
    TopologyArbiter* arbiter;
    mutable Stats stats;
    const Config* config;
};
