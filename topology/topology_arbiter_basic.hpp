#pragma once
// The topology merger's arbiter: keeps the last contour list of every topology client and
// one merged list. A merged contour takes a newer version by time stamp; a new contour joins
// only when every fresh client reports it (the first update after a cold start excepted); a
// merged contour leaves only when no fresh client reports it. A client is fresh while its
// last update is at most `max_age` seconds old, measured in whole seconds of the steady
// clock: a step of the wall clock neither keeps a dead client fresh nor makes live ones
// stale (the time stamps inside the contours are the services' own and stay as they are).
//
// Lock order: a topology client calls apply_update while holding its own snapshot lock, and
// the arbiter takes its mutex inside, so it is always client lock, then arbiter mutex. The
// arbiter never calls back into a client, and writes the cache files under its mutex.
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "topology/contour.hpp"
#include "topology/topology-data-info.hpp"
#include "topology/topology_cache_manager_basic.hpp"

class TopologyArbiter {
public:
    virtual ~TopologyArbiter() = default;
    // A new snapshot of the merged list.
    virtual std::shared_ptr<TopologyData> get() const = 0;
    // Registers a client by its URL text; an existing one is left as it is.
    virtual void add_client(const std::string& url) = 0;
    // Merges one client's new list; the caller's list receives the client's previous one.
    // An unregistered URL is logged and changes nothing.
    virtual void apply_update(const std::string& url, std::list<Contour>&& contours) = 0;
    // The merged envelope: {"body": {"components": [...]}, "success": bool}.
    virtual nlohmann::json to_json() const = 0;
};

class TopologyArbiterBasic : public TopologyArbiter {
public:
    // The steady clock; replaceable so that freshness can be tested without waiting.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Freshness is judged in whole seconds of the steady clock.
    using Seconds = std::chrono::time_point<std::chrono::steady_clock, std::chrono::seconds>;

    // Loads the cache manager's contours as the initial list when `cache` is given.
    TopologyArbiterBasic(std::string_view root, uint16_t max_age,
                         std::unique_ptr<TopologyCacheManager> cache, Clock clock = {});
    ~TopologyArbiterBasic() override;

    std::shared_ptr<TopologyData> get() const override;
    void add_client(const std::string& url) override;
    void apply_update(const std::string& url, std::list<Contour>&& contours) override;
    nlohmann::json to_json() const override;

    // The merged envelope of the merged list; takes no lock (callers hold the mutex).
    nlohmann::json make_json() const;

    struct ClientRecord {
        std::optional<Seconds> last_update;  // none: never updated, so never fresh
        std::list<Contour> contours;
        std::unordered_map<std::string, const Contour*> by_path;  // a later duplicate wins
    };

private:
    void load_initial_contour_list(const std::list<Contour>& list);
    void process_fresh_contours(const std::string& url, ClientRecord& record, Seconds since);
    void on_new_contour(const std::string& url, const Contour& c, Seconds since);
    void arbitrate_contours(Contour& kept, const Contour& incoming);
    void check_for_deleted_contours(Seconds since);
    void dump_to_chache();
    static bool is_fresh(const ClientRecord& record, Seconds since) {
        return record.last_update && *record.last_update >= since;
    }

    bool initial_pending = true;
    bool changed = false;
    std::list<Contour> merged;
    std::unordered_map<std::string, std::list<Contour>::iterator> by_path;
    std::unordered_map<std::string, ClientRecord> clients;
    mutable std::mutex mutex;
    uint16_t max_age;
    std::string root;
    std::unique_ptr<TopologyCacheManager> cache;
    Clock clock;
};
