#include "config/registry-config.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "common/file.hpp"
#include "common/syslog.hpp"

using nlohmann::json;

namespace {

std::string read_string(const json& document, const char* pointer) {
    return document.at(json::json_pointer(pointer)).get<std::string>();
}

// The stats file is read as the one path it is written to: read as a file reference, a path
// with a colon would name a different file than the one written, and the statistics would
// never come back after a restart.
json read_stats_file(const std::string& path) {
    using framework::Syslog;
    const framework::MappedFile file = framework::map_file(path);
    if (file.text.empty()) {
        Syslog::log(Syslog::kWarning, "config: '%s' not available", path.c_str());
        return json::object();
    }
    Syslog::log(Syslog::kNotice, "config: read file '%s'", path.c_str());
    return json::parse(file.text.begin(), file.text.end());
}

bool write_all(framework::File& file, const std::string& text) {
    return file.write(text.data(), text.size());
}

}  // namespace

RegistryConfig::RegistryConfig(const json& document) {
    if (!document.contains("registry")) throw std::runtime_error("is off");
    url = read_string(document, "/registry/url");
    if (!callback_url.parse(read_string(document, "/registry/callback_url")))
        throw std::runtime_error("invalid callback URL");
    stats = read_string(document, "/registry/stats");
    confgen = read_string(document, "/registry/confgen");
}

json& RegistryConfig::get_sync_stats() const {
    if (statistics.empty()) statistics = read_stats_file(stats);  // null, {} and [] are empty
    return statistics;
}

bool RegistryConfig::sync_stats() const {
    if (stats.empty()) return false;
    const std::string text = statistics.dump(4, ' ', false, json::error_handler_t::replace);

    // Written beside the file and renamed over it: a role that dies in the middle, or a full
    // disk, must not leave a torn file that fails every later start of the role.
    const std::string temporary = stats + ".tmp";
    framework::File file;
    if (file.open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
        const bool written = write_all(file, text) && ::fsync(file.get_fd()) == 0;
        file.close();
        if (written && std::rename(temporary.c_str(), stats.c_str()) == 0) return true;
        framework::File::unlink(temporary);
        return false;
    }
    // A directory we may not create in: write the file in place.
    if (!file.open(stats, O_WRONLY | O_CREAT | O_TRUNC, 0644)) return false;
    return write_all(file, text);
}
