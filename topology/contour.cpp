#include "topology/contour.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "common/strings.hpp"
#include "common/syslog.hpp"

using nlohmann::json;

namespace {

template <typename T, size_t N>
T find_value(const std::array<Contour::Row<T>, N>& table, std::string_view name) {
    for (const auto& row : table)
        if (framework::iequals(row.name, name)) return row.value;
    return T{0};
}

void lowercase(std::string& s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// An optional string member: missing or of another type is not an error, only noted.
const std::string* optional_string(const json& element, const char* key) {
    auto it = element.find(key);
    if (it == element.end() || !it->is_string()) {
        framework::Syslog::log(framework::Syslog::kDebug, "contour: field '%s' is missing", key);
        return nullptr;
    }
    return it->get_ptr<const std::string*>();
}

// Like strtoull without an end check, except that a negative text reads as 0: strtoull would
// wrap it to a huge value that then wins every comparison of time stamps for ever.
uint64_t read_timestamp(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '-') return 0;
    return std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

Contour::Contour(const json& element) {
    path = element.at("path").get<std::string>();
    const auto weight_text = element.at("weight").get<std::string>();
    // Stored in 16 bits by truncation, as the sources expect.
    weight = static_cast<uint16_t>(std::strtol(weight_text.c_str(), nullptr, 10));
    type = find_value(kTypes, element.at("type").get<std::string>());
    mode = find_value(kModes, element.at("mode").get<std::string>());
    if (const auto* p = optional_string(element, "parent")) parent = *p;
    if (const auto* s = optional_string(element, "slave")) slave = *s;
    if (const auto* t = optional_string(element, "timestamp"); t && !t->empty())
        timestamp = read_timestamp(*t);
    lowercase(path);
    lowercase(parent);
    lowercase(slave);
    framework::Syslog::log(framework::Syslog::kDebug, "contour: %s", path.c_str());
}

std::string_view Contour::mode_name(uint32_t mode) {
    for (const auto& row : kModes)
        if (row.value == mode) return row.name;
    return "UNKNOWN";
}

std::string_view Contour::type_name(uint32_t type) {
    for (const auto& row : kTypes)
        if (row.value == type) return row.name;
    return "UNKNOWN";
}

json Contour::to_json() const {
    json j = json::object();
    j["path"] = path;
    j["weight"] = static_cast<uint64_t>(weight);
    j["type"] = type_name(type);
    j["mode"] = mode_name(mode);
    j["parent"] = parent;
    j["slave"] = slave;
    if (timestamp != 0)
        j["timestamp"] = timestamp;
    else
        j["timestamp"] = nullptr;
    return j;
}

std::string Contour::make_log_str(const Contour& c) {
    char buffer[1024];
    const auto name = mode_name(c.mode);
    int n = std::snprintf(buffer, sizeof buffer, "path=\"%s\", timestamp=%lu, mode =%.*s ",
                          c.path.c_str(), static_cast<unsigned long>(c.timestamp),
                          static_cast<int>(name.size()), name.data());
    if (n < 0) return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string_view Contour::alias_of(std::string_view root, std::string_view path) {
    if (path.size() > root.size() + 1 && path.starts_with(root) && path[root.size()] == '.')
        return path.substr(root.size() + 1);
    framework::Syslog::log(framework::Syslog::kInfo, "cannot get node path alias, check for 'mav_root' in config");
    return {};
}
