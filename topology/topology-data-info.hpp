#pragma once
// Topology snapshots: an immutable view of one contour list, indexed by node path and node
// alias, with one consistent-hash ring per parent cluster. Built once by one thread, then only
// read, so a snapshot is shared between threads through a shared pointer without locking.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/ketama_hash.hpp"
#include "topology/contour.hpp"

// The read-only snapshot interface. Pointers and views it returns live as long as the
// snapshot: hold the shared pointer while using them.
class TopologyData {
public:
    virtual ~TopologyData() = default;
    // The contour under a full path or a node alias, compared in lower case; null when
    // absent or `path` is empty.
    virtual const Contour* get_by_path(std::string_view path) const = 0;
    // The full path that `key` hashes to within `cluster` (path or alias, any case); no value
    // for an empty argument or an unknown or unhashable cluster.
    virtual std::optional<std::string_view> get_by_hash(std::string_view cluster,
                                                        std::string_view key) const = 0;
    // {"path": root, "components": [...], "clusters": {cluster: {server: weight}}}.
    virtual nlohmann::json get_json() const = 0;
    // The contours in the order they were given.
    virtual const std::list<Contour>& get_contours() const = 0;
};

class TopologyDataInfo : public TopologyData, private std::list<Contour> {
public:
    // Takes the list and root over (a parser's hand-over).
    TopologyDataInfo(std::list<Contour>&& contours, std::string&& root);
    // Copies both (a snapshot of a list that its owner keeps).
    TopologyDataInfo(const std::list<Contour>& contours, std::string_view root);

    const Contour* get_by_path(std::string_view path) const override;
    std::optional<std::string_view> get_by_hash(std::string_view cluster,
                                                std::string_view key) const override;
    nlohmann::json get_json() const override;
    const std::list<Contour>& get_contours() const override;

private:
    void init();

    // Each contour under its path and its alias; the first in list order wins a key.
    std::map<std::string, const Contour*, std::less<>> index;
    // One ring per parent cluster, under the cluster's path and its alias.
    std::map<std::string, std::shared_ptr<Ketama>, std::less<>> clusters;
    std::string root;
};
