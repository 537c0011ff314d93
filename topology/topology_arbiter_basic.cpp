#include "topology/topology_arbiter_basic.hpp"

#include <set>
#include <stdexcept>

#include "common/syslog.hpp"

using framework::Syslog;
using nlohmann::json;

namespace {
constexpr const char* kDashes = "------------------------------------------------------";

bool passes(int level) {
    return Syslog::get_log_level() >= level;
}
}  // namespace

TopologyArbiterBasic::TopologyArbiterBasic(std::string_view root, uint16_t max_age,
                                           std::unique_ptr<TopologyCacheManager> cache,
                                           Clock clock)
    : max_age(max_age), root(root), cache(std::move(cache)), clock(std::move(clock)) {
    if (!this->clock) this->clock = [] { return std::chrono::steady_clock::now(); };
    if (this->cache) {
        std::lock_guard<std::mutex> guard(mutex);
        load_initial_contour_list(this->cache->get());
    }
}

TopologyArbiterBasic::~TopologyArbiterBasic() {
    cache.reset();
}

std::shared_ptr<TopologyData> TopologyArbiterBasic::get() const {
    std::list<Contour> copy;
    {
        std::lock_guard<std::mutex> guard(mutex);
        copy = merged;
    }
    // The indexes and rings are built outside the mutex, so updates do not wait for them.
    return std::make_shared<TopologyDataInfo>(std::move(copy), std::string(root));
}

void TopologyArbiterBasic::add_client(const std::string& url) {
    std::lock_guard<std::mutex> guard(mutex);
    clients.try_emplace(url);
}

json TopologyArbiterBasic::to_json() const {
    std::lock_guard<std::mutex> guard(mutex);
    return make_json();
}

void TopologyArbiterBasic::apply_update(const std::string& url, std::list<Contour>&& contours) {
    std::lock_guard<std::mutex> guard(mutex);
    Syslog::log(Syslog::kDebug5, "ARBITER: %s", kDashes);
    Syslog::log(Syslog::kDebug5, "ARBITER: got update from \"%s\"", url.c_str());
    auto it = clients.find(url);
    if (it == clients.end()) {
        Syslog::log(Syslog::kError, "ARBITER: Got topology update from not registered client. Url = \"%s\"!",
                    url.c_str());
        return;
    }
    changed = false;
    const Seconds now = std::chrono::floor<std::chrono::seconds>(clock());
    ClientRecord& record = it->second;
    record.last_update = now;
    const Seconds since = now - std::chrono::seconds(max_age);
    record.contours.swap(contours);

    process_fresh_contours(url, record, since);
    check_for_deleted_contours(since);
    initial_pending = false;
    if (changed) dump_to_chache();
    Syslog::log(Syslog::kDebug5, "ARBITER: %s", kDashes);
}

void TopologyArbiterBasic::process_fresh_contours(const std::string& url, ClientRecord& record,
                                                  Seconds since) {
    record.by_path.clear();
    for (const Contour& c : record.contours) {
        auto [entry, inserted] = record.by_path.try_emplace(c.path, &c);
        if (!inserted) {
            Syslog::log(Syslog::kWarning, "ARBITER: There is a duplicate of contour \"%s\" in update from \"%s\"",
                        c.path.c_str(), url.c_str());
            entry->second = &c;
        }
        if (auto m = by_path.find(c.path); m != by_path.end())
            arbitrate_contours(*m->second, c);
        else
            on_new_contour(url, c, since);
    }
}

void TopologyArbiterBasic::on_new_contour(const std::string& url, const Contour& c,
                                          Seconds since) {
    Syslog::log(Syslog::kInfo, "ARBITER: try to ADD contour \"%s\" ", c.path.c_str());
    Contour candidate = c;
    if (!initial_pending) {
        for (const auto& [client_url, r] : clients) {
            if (is_fresh(r, since)) {
                auto found = r.by_path.find(c.path);
                if (found == r.by_path.end()) {
                    Syslog::log(Syslog::kInfo, "ARBITER: ADD rejected - client \"%s\" don't have contour \"%s\" ",
                                client_url.c_str(), c.path.c_str());
                    return;
                }
                arbitrate_contours(candidate, *found->second);
            } else {
                Syslog::log(Syslog::kInfo,
                            "ARBITER: ADD client \"%s\" has too old update - ignored during "
                            "adding contour \"%s\"",
                            client_url.c_str(), c.path.c_str());
            }
        }
        arbitrate_contours(candidate, c);
    }
    if (passes(6))
        Syslog::log(Syslog::kInfo, "ARBITER: ADD contour \"%s\" done",
                    Contour::make_log_str(candidate).c_str());
    merged.push_back(std::move(candidate));
    by_path[merged.back().path] = std::prev(merged.end());
    changed = true;
}

void TopologyArbiterBasic::arbitrate_contours(Contour& kept, const Contour& incoming) {
    if (kept.timestamp != 0 && kept.timestamp >= incoming.timestamp) return;
    kept = incoming;
    changed = true;
    if (passes(6))
        Syslog::log(Syslog::kInfo, "ARBITER: contour \"%s\" updated", Contour::make_log_str(kept).c_str());
}

void TopologyArbiterBasic::check_for_deleted_contours(Seconds since) {
    std::set<std::string> doomed;
    for (const auto& [path, element] : by_path) {
        bool reported = false;
        for (const auto& [client_url, r] : clients) {
            if (is_fresh(r, since) && r.by_path.count(path)) {
                reported = true;
                break;
            }
        }
        if (!reported) doomed.insert(path);
    }
    for (const auto& path : doomed) {
        auto it = by_path.find(path);
        if (it == by_path.end())
            throw std::runtime_error(
                "Can't be! In TopologyArbiterBasic::check_for_deleted_contours");
        Syslog::log(Syslog::kInfo, "ARBITER: DELETE contour \"%s\" ", path.c_str());
        merged.erase(it->second);
        by_path.erase(it);
        changed = true;
    }
}

void TopologyArbiterBasic::load_initial_contour_list(const std::list<Contour>& list) {
    if (list.empty()) {
        Syslog::log(Syslog::kInfo, "ARBITER: Initial is empty");
        return;
    }
    Syslog::log(Syslog::kDebug5, "ARBITER: INITIAL %s", kDashes);
    for (const Contour& c : list) {
        if (passes(6))
            Syslog::log(Syslog::kInfo, "ARBITER: Initial ADD contour=\"%s\"",
                        Contour::make_log_str(c).c_str());
        // A path listed twice is merged like a duplicate in an update: the later element
        // wins. Keeping both would leave a stale copy that no update ever reaches and that
        // every envelope and cache file would carry for ever.
        if (auto it = by_path.find(c.path); it != by_path.end()) {
            Syslog::log(Syslog::kWarning, "ARBITER: There is a duplicate of contour \"%s\" in update from \"%s\"",
                        c.path.c_str(), "initial");
            *it->second = c;
            continue;
        }
        merged.push_back(c);
        by_path[c.path] = std::prev(merged.end());
    }
    initial_pending = false;
    Syslog::log(Syslog::kDebug5, "ARBITER: INITIAL  %s", kDashes);
}

void TopologyArbiterBasic::dump_to_chache() {
    if (cache && cache->is_active()) cache->update(make_json());
}

json TopologyArbiterBasic::make_json() const {
    json components = json::array();
    for (const Contour& c : merged) {
        json j = c.to_json();
        components.push_back(json{
            {"className", "FIELD"},
            {"nodePath", j["path"]},
            {"parentCode", j["parent"]},
            {"reserveNode", json{{"nodePath", j["slave"]}}},
            {"loadPercent", j["weight"]},
            {"currentMode", j["mode"]},
            {"type", j["type"]},
            {"lastSwitchTime", j["timestamp"]},
        });
    }
    return json{{"body", json{{"components", std::move(components)}}},
                {"success", !merged.empty()}};
}
