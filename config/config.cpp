#include "config/config.hpp"

#include <cctype>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "common/file.hpp"
#include "common/syslog.hpp"
#include "config/proxy-config.hpp"
#include "config/registry-config.hpp"
#include "config/router-config.hpp"
#include "config/topology_merger-config.hpp"
#include "network/url.hpp"

using nlohmann::json;

const json k_empty_json;

namespace {

std::vector<std::string> split_reference(const std::string& ref) {
    std::vector<std::string> parts;
    std::string::size_type from = 0;
    for (;;) {
        const auto colon = ref.find(':', from);
        parts.push_back(ref.substr(from, colon - from));
        if (colon == std::string::npos) return parts;
        from = colon + 1;
    }
}

// "proxy", "Proxy2" and "PROXY-front" name proxy sections; "prox" does not.
bool is_proxy_key(const std::string& key) {
    static constexpr std::string_view kPrefix = "PROXY";
    if (key.size() < kPrefix.size()) return false;
    for (std::size_t i = 0; i < kPrefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(key[i])) != kPrefix[i]) return false;
    return true;
}

// Each role section is built in its own handler: a section that fails leaves only its role off.
template <typename Section, typename Build>
std::shared_ptr<Section> build_section(const char* name, Build&& build) {
    try {
        return build();
    } catch (const std::exception& e) {
        framework::Syslog::log(framework::Syslog::kWarning, "config: %s: %s", name, e.what());
    }
    return nullptr;
}

std::shared_ptr<RouterConfig> make_router(const json& doc) {
    return std::make_shared<RouterConfig>(doc);
}

std::shared_ptr<TopologyMergerConfig> make_topology_merger(const json& doc) {
    return std::make_shared<TopologyMergerConfig>(doc);
}

std::shared_ptr<RegistryConfig> make_registry(const json& doc) {
    return std::make_shared<RegistryConfig>(doc);
}

std::shared_ptr<config::ProxyConfig> make_proxy(const json& section) {
    return std::make_shared<config::ProxyConfig>(section);
}

}  // namespace

Settings::Settings(json&& document) : doc(std::move(document)) {
    using framework::Syslog;
    try {
        const auto& target = doc.at(json::json_pointer("/log/redirect"));
        if (target.is_string()) framework::redirect_log(target.get_ref<const std::string&>());
    } catch (const std::exception&) {
        // A document without a usable log destination keeps the current one.
    }
    Syslog::set_log_level(doc.value(json::json_pointer("/log/level"), std::string()));

    gw_type = doc.value("type", std::string());
    work_dir = doc.value("work_dir", std::string());
    pid_file = doc.value("pid_file", std::string("/tmp/travine.pid"));
    mav_root = doc.at("mav_root").get<std::string>();
    for (auto& c : mav_root) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (mav_root.empty()) throw std::runtime_error("config: empty MAV path");
    if (gw_type.empty()) throw std::runtime_error("config: empty Gateway type");

    router = build_section<RouterConfig>("router", [&] { return make_router(doc); });
    registry = build_section<RegistryConfig>("registry", [&] { return make_registry(doc); });
    topology_merger = build_section<TopologyMergerConfig>(
        "topology_merger", [&] { return make_topology_merger(doc); });

    for (const auto& [key, value] : doc.items()) {
        if (!value.is_object() || !is_proxy_key(key)) continue;
        if (auto proxy = build_section<config::ProxyConfig>("proxy", [&] { return make_proxy(value); }))
            proxies.emplace(key, std::move(proxy));
    }
    if (proxies.empty()) Syslog::log(Syslog::kWarning, "config: proxy: is off");
}

json Config::read_json_file(const std::string& ref) {
    using framework::Syslog;
    const auto parts = split_reference(ref);
    const std::string& name = parts.front();

    const framework::MappedFile file = framework::map_file(name);
    if (file.text.empty()) {
        Syslog::log(Syslog::kWarning, "config: '%s' not available", ref.c_str());
        return json::object();
    }
    if (parts.size() == 2)
        Syslog::log(Syslog::kNotice, "config: read file '%s' -> %s", name.c_str(), parts[1].c_str());
    else
        Syslog::log(Syslog::kNotice, "config: read file '%s'", name.c_str());

    // Parsed straight from the mapping; `file` releases it on every way out.
    json doc = json::parse(file.text.begin(), file.text.end());
    if (parts.size() != 2) return doc;
    try {
        return doc.at(json::json_pointer(parts[1]));
    } catch (const json::exception& e) {
        Syslog::log(Syslog::kWarning, "config: %s", e.what());
    }
    return json::object();
}

json Config::get_json(const json& value) {
    if (value.is_string()) return read_json_file(value.get_ref<const std::string&>());
    return value;
}

bool Config::load(const std::string& path) {
    json doc = read_json_file(path);
    if (doc.empty()) return false;  // null, {} or []: keep what is installed

    std::unique_lock guard(lock);
    auto next = std::make_shared<Settings>(std::move(doc));
    settings.swap(next);
    return true;
}

// The getters tolerate a configuration that never loaded: they answer as for an empty one.

std::string_view Config::get_gw_type() const {
    std::shared_lock guard(lock);
    return settings ? std::string_view(settings->gw_type) : std::string_view();
}

std::string_view Config::get_mav_root() const {
    std::shared_lock guard(lock);
    return settings ? std::string_view(settings->mav_root) : std::string_view();
}

std::string_view Config::get_work_dir() const {
    std::shared_lock guard(lock);
    return settings ? std::string_view(settings->work_dir) : std::string_view();
}

std::string_view Config::get_pid_file() const {
    std::shared_lock guard(lock);
    return settings ? std::string_view(settings->pid_file) : std::string_view();
}

std::shared_ptr<RouterConfig> Config::get_router() const {
    std::shared_lock guard(lock);
    return settings ? settings->router : nullptr;
}

std::shared_ptr<RegistryConfig> Config::get_registry() const {
    std::shared_lock guard(lock);
    return settings ? settings->registry : nullptr;
}

std::shared_ptr<TopologyMergerConfig> Config::get_topology_merger() const {
    std::shared_lock guard(lock);
    return settings ? settings->topology_merger : nullptr;
}

std::shared_ptr<config::ProxyConfig> Config::get_proxy(const std::string& name) const {
    std::shared_lock guard(lock);
    if (!settings) return nullptr;
    const auto it = settings->proxies.find(name);
    return it == settings->proxies.end() ? nullptr : it->second;
}

const std::map<std::string, std::shared_ptr<config::ProxyConfig>>& Config::get_proxies() const {
    static const std::map<std::string, std::shared_ptr<config::ProxyConfig>> kNone;
    std::shared_lock guard(lock);
    return settings ? settings->proxies : kNone;
}

const json& Config::get_ssl(const json::json_pointer& where, const char* what) const {
    std::shared_lock guard(lock);
    if (!settings) return k_empty_json;
    try {
        return settings->doc.at(where);
    } catch (const json::out_of_range&) {
        // No TLS object of that kind: not an error.
    } catch (const std::exception& e) {
        framework::Syslog::log(framework::Syslog::kError, "%s: %s", what, e.what());
    }
    return k_empty_json;
}

const json& Config::get_server_ssl() const {
    static const json::json_pointer kWhere("/ssl/server");
    return get_ssl(kWhere, "ssl/server");
}

const json& Config::get_client_ssl() const {
    static const json::json_pointer kWhere("/ssl/client");
    return get_ssl(kWhere, "ssl/client");
}
