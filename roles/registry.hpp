#pragma once
// The registry role: keeps this gateway's deployment-unit configuration in step with the
// PELL registry. It subscribes to the registry's change notices for this gateway instance
// and renews the subscription before it expires, fetches the deployment units that changed
// since the last one applied, applies each by running confgen (killed after 9 seconds) and
// reports the outcome back, and takes the notices that the registry posts to its callback
// address.
//
// Threads: the role's event loop runs on two threads, and everything below runs on them. A
// confgen run blocks the thread that makes it and enforces its own 9-second limit there, so
// a hanging confgen is killed even while the other event-loop thread waits for `mutex`.
// confgen runs are serialised by `mutex`; the instance identity, the timers and the
// statistics each have a small lock of their own, never held across a run.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include "common/process.hpp"
#include "config/config.hpp"
#include "config/registry-config.hpp"
#include "network/http_client.hpp"
#include "network/http_server.hpp"
#include "network/listener.hpp"
#include "network/namespaces.hpp"
#include "network/tcp_session.hpp"
#include "network/timer.hpp"

namespace registry {

class Registry : public framework::Process {
public:
    using response_type = framework::HttpxClient::response_type;
    using socket_type = net::ip::tcp::socket;

    static constexpr std::chrono::seconds kConfgenLimit{9};

    // The process "registry", stopped by SIGTERM. `config` must outlive the role.
    explicit Registry(const Config& config);
    ~Registry() override;

    // Listens on the callback address, subscribes with the uuid of the stats file, runs the
    // event loop on two threads until it runs out of work, then writes the stats file and
    // returns 0. Throws when the registry section is off, when the callback address cannot
    // be listened on and when the stats file or its "uuid" is unusable.
    int main() override;
    // SIGTERM: closes the listener, cancels the pending renewal and unsubscribes. A pending
    // delayed synchronisation and its confgen runs still run.
    void on_stop() override;

    // The registry section of the configuration; null only when the section is off.
    const RegistryConfig* get_config() const;
    // "uuid" of the synchronisation statistics, empty when absent; loads the stats file on
    // first use and throws for statistics that are not an object or a uuid that is no string.
    std::string get_last_uuid() const;

    // A new change-notice connection.
    void on_accept(socket_type&& socket);
    // Sends the subscription (PATCH) for the instance `uuid`; the answer goes to on_subscribe.
    void subscribe(std::string_view uuid);
    // Takes the instance uuid, the subscription id (32 bits) and its expiry (64 bits) from the
    // answer, starts a synchronisation when the uuid is new and schedules the renewal (5
    // seconds after a failure, which includes a number that its type cannot hold), unless the
    // role is stopping.
    void on_subscribe(response_type&& answer);
    // Deletes the current subscription; nothing while there is none.
    void unsubscribe();

    // With a positive delay schedules a synchronisation (replacing one already scheduled);
    // with 0 sends the deployment-unit query at once. Throws for statistics that are not an
    // object or a "sync_time" that is no number of 64 bits.
    void sync(std::chrono::seconds delay) const;
    // Applies the units of a query's answer in order, under `mutex`, and records the newest
    // modification time and the uuid in the statistics. A "total" that is no number of 32 bits
    // throws before anything is applied; a unit whose modification time is no number of 64
    // bits is skipped.
    void on_sync(response_type&& answer) const;
    // Reports one unit's outcome to the registry; moves `error` (cut to at most 4095 bytes,
    // never inside a UTF-8 character) into the report, leaving it empty.
    void set_status(const std::string& subsystem, const std::string& unit, int64_t revision, bool ok,
                    std::string& error) const;
    // Runs confgen for one deployment unit (a deletion or an update) with the unit's JSON on
    // its standard input; kills it after 9 seconds. The caller holds `mutex` and owns `error`,
    // which gets the run's standard-error lines ("confgen hangup" first after a kill). A
    // non-zero revision sends a status report. Throws, before starting anything, for an item
    // without its unit or subsystem, or with one that holds a NUL byte. Whether confgen exited
    // with status 0.
    bool call_confgen(const nlohmann::json& item, int64_t revision, bool last, std::string& error) const;

    // Serialises confgen runs: held by every caller of call_confgen for all its runs.
    mutable std::mutex mutex;

private:
    friend class Notice;  // reads the gateway type and the platform root of `config`

    std::string current_uuid() const;

    std::shared_ptr<framework::Listener<net::ip::tcp>> listener;
    std::unique_ptr<framework::Timer> subscribe_timer;
    std::unique_ptr<framework::Timer> sync_timer;
    int32_t subscription_id = 0;
    std::string uuid;
    const Config& config;

    mutable std::mutex state_lock;  // uuid and subscription_id
    mutable std::mutex timer_lock;  // starts and cancels of subscribe_timer and sync_timer
    mutable std::mutex stats_lock;  // the synchronisation statistics
};

// One connection on the callback address: takes one notice from the registry and answers it.
// A forced update or a deletion is applied at once with confgen; any other change notice
// schedules a synchronisation 3 seconds later.
class Notice : public framework::HttpServerT<framework::TcpSession> {
public:
    Notice(net::ip::tcp::socket&& socket, const Registry& registry);

protected:
    void on_request(parser_type& parser) override;

private:
    const Registry& registry;
};

}  // namespace registry
