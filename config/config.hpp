#pragma once
// The loaded configuration document: one immutable `Settings` per load, held by `Config`
// behind a reader-writer lock and replaced whole when a later load succeeds.
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

class RouterConfig;
class RegistryConfig;
class TopologyMergerConfig;
namespace config {
class ProxyConfig;
}

// What the TLS getters return when the document has no such object.
extern const nlohmann::json k_empty_json;

// One parsed configuration document. Built once by its constructor and never changed
// afterwards; the role sections are shared by pointer with the roles that use them.
struct Settings {
    // Applies the document's log settings, reads and checks the top-level values and
    // builds every role section. Throws when the document fails a top-level check; a role
    // section that fails is logged and left null instead.
    explicit Settings(nlohmann::json&& document);

    nlohmann::json doc;
    std::string gw_type;
    std::string work_dir;
    std::string pid_file;
    std::string mav_root;  // lowercased
    std::shared_ptr<RouterConfig> router;
    std::shared_ptr<RegistryConfig> registry;
    std::shared_ptr<TopologyMergerConfig> topology_merger;
    std::map<std::string, std::shared_ptr<config::ProxyConfig>> proxies;  // keyed as written
};

// The current configuration. Only the master loads; role processes see the `Settings` that
// were current when they were forked, so every view and reference a getter returns stays valid
// until the next successful load in the same process (in a role: for its whole life).
class Config {
public:
    // Reads the document named by `path` (a file reference) and installs it. False, with
    // nothing changed, when the document is missing or empty; throws, with nothing changed
    // but the log settings the document already applied, when it cannot be installed.
    bool load(const std::string& path);

    std::string_view get_gw_type() const;
    std::string_view get_mav_root() const;
    std::string_view get_work_dir() const;
    std::string_view get_pid_file() const;
    std::shared_ptr<RouterConfig> get_router() const;
    std::shared_ptr<RegistryConfig> get_registry() const;
    std::shared_ptr<TopologyMergerConfig> get_topology_merger() const;
    std::shared_ptr<config::ProxyConfig> get_proxy(const std::string& name) const;
    const std::map<std::string, std::shared_ptr<config::ProxyConfig>>& get_proxies() const;
    // "/ssl/server" and "/ssl/client" of the document, or `k_empty_json`.
    const nlohmann::json& get_server_ssl() const;
    const nlohmann::json& get_client_ssl() const;

    // A file reference is a path, optionally followed by ':' and a JSON pointer into the file.
    // Gives an empty object when the file is unavailable or the pointer designates nothing;
    // a document that is not JSON throws the parser's exception.
    static nlohmann::json read_json_file(const std::string& ref);
    // A string value is a file reference and is resolved; any other value is copied.
    static nlohmann::json get_json(const nlohmann::json& value);

private:
    const nlohmann::json& get_ssl(const nlohmann::json::json_pointer& where, const char* what) const;

    std::shared_ptr<Settings> settings;
    mutable std::shared_mutex lock;
};
