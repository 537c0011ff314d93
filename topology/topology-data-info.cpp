#include "topology/topology-data-info.hpp"

#include <cctype>

#include "common/syslog.hpp"

using nlohmann::json;

namespace {

// Lowercases a look-up key into a stack buffer, so that a look-up does not allocate; only a
// key longer than any real path falls back to the heap.
class LowerKey {
public:
    explicit LowerKey(std::string_view text) {
        char* out = text.size() <= sizeof small_ ? small_ : (large_.resize(text.size()), large_.data());
        for (size_t i = 0; i < text.size(); ++i)
            out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        view_ = std::string_view(out, text.size());
    }
    LowerKey(const LowerKey&) = delete;
    LowerKey& operator=(const LowerKey&) = delete;
    std::string_view view() const { return view_; }

private:
    char small_[512];
    std::string large_;
    std::string_view view_;
};

}  // namespace

TopologyDataInfo::TopologyDataInfo(std::list<Contour>&& contours, std::string&& root)
    : std::list<Contour>(std::move(contours)), root(std::move(root)) {
    init();
}

TopologyDataInfo::TopologyDataInfo(const std::list<Contour>& contours, std::string_view root)
    : std::list<Contour>(contours), root(root) {
    init();
}

void TopologyDataInfo::init() {
    std::map<std::string_view, std::list<const Contour*>> groups;
    for (const Contour& c : get_contours()) {
        if (c.path.empty()) continue;
        const auto alias = Contour::alias_of(root, c.path);
        if (!alias.empty()) index.emplace(alias, &c);
        index.emplace(c.path, &c);
        if (!c.parent.empty()) groups[c.parent].push_back(&c);
    }

    for (const auto& [parent, members] : groups) {
        auto ring = std::make_shared<Ketama>();
        for (const Contour* c : members)
            if (c->weight != 0) ring->add_server(c->path, c->weight);
        ring->create_continuum();
        if (ring->servers.empty()) {
            framework::Syslog::log(framework::Syslog::kDebug2, "ketama: empty %s cluster", std::string(parent).c_str());
            continue;
        }
        const auto alias = Contour::alias_of(root, parent);
        if (!alias.empty()) clusters.emplace(alias, ring);
        clusters.emplace(parent, ring);
    }

    if (framework::Syslog::get_log_level() >= framework::Syslog::kDebug) {
        for (const auto& [name, ring] : clusters)
            framework::Syslog::log(framework::Syslog::kDebug, "ketama: %d server(s) in %s cluster",
                                   static_cast<int>(ring->servers.size()), name.c_str());
    }
    if (clusters.empty()) framework::Syslog::log(framework::Syslog::kWarning, "no any clusters");
}

const Contour* TopologyDataInfo::get_by_path(std::string_view path) const {
    if (path.empty()) return nullptr;
    LowerKey key(path);
    auto it = index.find(key.view());
    return it == index.end() ? nullptr : it->second;
}

std::optional<std::string_view> TopologyDataInfo::get_by_hash(std::string_view cluster,
                                                              std::string_view key) const {
    if (cluster.empty() || key.empty()) return std::nullopt;
    LowerKey name(cluster);
    auto it = clusters.find(name.view());
    if (it == clusters.end()) {
        framework::Syslog::log(framework::Syslog::kInfo, "cluster %.*s not found", static_cast<int>(cluster.size()),
                               cluster.data());
        return std::nullopt;
    }
    auto server = it->second->get_server(key);
    if (server.empty()) return std::nullopt;
    return server;
}

json TopologyDataInfo::get_json() const {
    json j;
    j["path"] = root;
    for (const Contour& c : get_contours()) j["components"].push_back(c.to_json());
    for (const auto& [name, ring] : clusters) {
        for (const auto& server : ring->servers) j["clusters"][name][server.name] = server.weight;
    }
    return j;
}

const std::list<Contour>& TopologyDataInfo::get_contours() const {
    return *this;
}
