#pragma once
// Topology sources. `Topology` is what the router and the merger hold; `TopologyClient` polls
// one topology service over HTTP: a POST of {"nodePath": <platform root>} one period after
// each answer, one request in flight at a time, each good answer read through the role's
// filter into a new snapshot (or handed to the merger's arbiter).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "network/http_client.hpp"
#include "network/url.hpp"
#include "topology/topology-data-info.hpp"

class Config;
class TopologyArbiter;
namespace json_tools::filter {
class Node;
}

class Topology {
public:
    // Poll counters; they only grow and are read without a lock.
    struct Stats {
        std::atomic<uint64_t> success{0};  // answers parsed and applied
        std::atomic<uint64_t> failed{0};   // everything else
    };

    virtual ~Topology() = default;
    // Starts polling, or polls once more.
    virtual void update() = 0;
    // Stops polling for good.
    virtual void stop() = 0;
    // The current snapshot, or null.
    virtual std::shared_ptr<TopologyData> get() const = 0;
    virtual const Stats* get_stats() const = 0;
};

class TopologyClient : public Topology {
public:
    using response_type = framework::HttpxClient::response_type;

    // No period is longer than this many seconds.
    static constexpr uint16_t kMaxPeriod = 600;

    // `config` and `filter` are not owned and must outlive the client; `url` is copied. A
    // `period` of 0 polls once. Without `arbiter` every good answer replaces the snapshot;
    // with one, the contours go to the arbiter and get() stays null. The request object is
    // named `*name` (cut to 47 characters), or "topo_client" without a name; an https `url`
    // uses TLS with the "/ssl/client" settings.
    TopologyClient(const Config& config, const json_tools::filter::Node& filter,
                   const framework::Url& url, uint16_t period, boost::asio::io_context& io,
                   TopologyArbiter* arbiter = nullptr, const std::string* name = nullptr);
    // Cancels the timer and the request in flight; an answer still on its way is dropped.
    // An answer being applied on a loop thread at that moment is finished first: once the
    // destructor returns, nothing of the client runs any more.
    ~TopologyClient() override;
    TopologyClient(const TopologyClient&) = delete;
    TopologyClient& operator=(const TopologyClient&) = delete;

    // Sends one poll, on the caller's thread, unless one is in flight, the next one is
    // already scheduled, or the client (or the process) is stopping.
    void update() override;
    // Cancels the scheduled poll and the request in flight; afterwards nothing is sent again,
    // and an answer that still arrives counts as failed.
    void stop() override;
    std::shared_ptr<TopologyData> get() const override;
    const Stats* get_stats() const override;

    // The answer callback of the request object, handed to the client's strand: schedules
    // the next poll first, then applies the answer or counts the failure.
    void on_update(response_type&& answer);
    // Schedules, on the client's strand, the next poll in min(period, 600) seconds; nothing
    // when the period is 0, a poll is already scheduled, or the client is stopping.
    void start_timer();

private:
    // The polling itself. Its answers and timer run on its strand, and every handler reaches
    // it through a weak_ptr: a late answer or timer finds it gone rather than touching a
    // dead client. The client holds the only lasting reference.
    class Poller;
    std::shared_ptr<Poller> poller;
};
