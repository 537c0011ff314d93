#pragma once
// The topology merger's cache files: the initial contour list is read at start from the
// first of the current, previous and initial files that reads; after every change of the
// merged list the current file is rotated into the previous one and rewritten; a current
// file that did not load at start is overwritten without rotation, so that it never takes
// the place of a good previous file. A cache file that is there but does not read is logged
// at level 4 with its path and the reason, and the next file is tried. Every write goes
// through a temporary file that is synced and renamed over its target, so a crash or a full
// disk never leaves a cache file torn or empty.
#include <list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "topology/contour.hpp"

namespace json_tools::filter {
class Node;
}

// How the arbiter stores the merged envelope.
class TopologyCacheManager {
public:
    virtual ~TopologyCacheManager() = default;
    // The contours loaded at construction (the arbiter copies them as its initial list).
    virtual std::list<Contour>& get() = 0;
    // Stores a new merged envelope; does nothing unless active.
    virtual void update(const nlohmann::json& envelope) = 0;
    // Whether update writes anything.
    virtual bool is_active() const = 0;
};

class TopologyCacheManagerBasic : public TopologyCacheManager {
public:
    // Reads the files at once; `filter` must outlive the manager. Active only when `current`
    // and `previous` are both named and differ.
    TopologyCacheManagerBasic(const json_tools::filter::Node& filter, std::string_view root,
                              const std::string& current, const std::string& previous,
                              const std::string& initial);

    std::list<Contour>& get() override;
    void update(const nlohmann::json& envelope) override;
    bool is_active() const override;

    // The cache file form of an envelope: indent 4 and one line feed.
    static std::string to_file_text(const nlohmann::json& envelope);

private:
    void load_initial_topology();
    bool try_load_topology_from_file(const std::string& name);
    static void log_unreadable(const std::string& name, const std::string& reason);

    const json_tools::filter::Node* filter;
    std::string root;
    std::string current_file;
    std::string previous_file;
    std::string initial_file;
    std::list<Contour> contours;
    bool active = false;
    // The current file holds an envelope worth rotating: it loaded at start, or this
    // manager has written it since.
    bool current_good = false;
};
