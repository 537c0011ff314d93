#include "rules/rule.hpp"

#include <algorithm>

#include "common/syslog.hpp"

namespace {

bool read_enabled(const nlohmann::json& config) noexcept {
    if (!config.is_object()) return false;
    auto it = config.find("enabled");
    return it != config.end() && it->is_boolean() && it->get<bool>();
}

// Text the JSON writer copies as it stands: printable ASCII other than the quote and the
// backslash (it escapes nothing else below 0x80 from 0x20 on).
bool plain(std::string_view text) noexcept {
    for (const unsigned char c : text)
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') return false;
    return true;
}

// The compact text of an object whose members are all plain strings, byte for byte as the
// JSON writer makes it, written into one string: every answer of the router is such an
// object, and the general writer, checking each byte as UTF-8, cost a fifth of the router's
// own time. False for anything else.
bool dump_plain_object(const nlohmann::json& object, std::string& out) {
    if (!object.is_object()) return false;
    out.reserve(128);
    out += '{';
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string& key = it.key();
        if (!it->is_string()) return false;
        const std::string& value = it->get_ref<const std::string&>();
        if (!plain(key) || !plain(value)) return false;
        if (out.size() > 1) out += ',';
        out += '"';
        out += key;
        out += "\":\"";
        out += value;
        out += '"';
    }
    out += '}';
    return true;
}

}  // namespace

Rule::Rule(const RuleOwner& owner, std::string_view name)
    : owner(owner),
      config(owner.get_rule_config(name)),
      mav_root(owner.get_mav_root()),
      enabled(read_enabled(config)) {}

bool Rule::is_enabled() const { return enabled; }

std::optional<std::string_view> Rule::find_path(std::string_view key) const {
    if (!config.is_object()) return std::nullopt;
    auto routing = config.find("routing");
    if (routing == config.end() || !routing->is_object()) return std::nullopt;
    // Heterogeneous look-up: no key string is made.
    auto it = routing->find(key);
    if (it == routing->end() || !it->is_string()) return std::nullopt;
    return std::string_view(it->get_ref<const std::string&>());
}

std::string_view Rule::get_header(const boost::beast::http::fields& fields,
                                  std::string_view name) {
    auto it = fields.find(name);
    if (it == fields.end()) return {};
    auto v = it->value();
    return {v.data(), v.size()};
}

bool Rule::has_single_header(std::string_view name, const Request& request) const {
    if (request.fields.count(name) != 1) return false;
    if (framework::Syslog::get_log_level() >= framework::Syslog::kInfo) {
        auto v = get_header(request.fields, name);
        framework::Syslog::log(framework::Syslog::kInfo, "%.*s: %.*s: '%.*s'", static_cast<int>(request.name.size()),
                               request.name.data(), static_cast<int>(name.size()), name.data(),
                               static_cast<int>(v.size()), v.data());
    }
    return true;
}

void Rule::headers_fixup(boost::beast::http::fields& fields) {
    // Working names live from call to call on each thread, so a request without '_' in its
    // names costs nothing and one with costs no allocation once the thread has warmed up.
    thread_local std::string old_name;
    thread_local std::string new_name;
    for (;;) {
        auto it = std::find_if(fields.begin(), fields.end(), [](const auto& f) {
            return f.name_string().find('_') != boost::beast::string_view::npos;
        });
        if (it == fields.end()) break;
        auto n = it->name_string();
        old_name.assign(n.data(), n.size());
        new_name = old_name;
        std::replace(new_name.begin(), new_name.end(), '_', '-');
        fields.insert(new_name, it->value());
        // The old name is a copy: erase compares against it while freeing the fields.
        fields.erase(old_name);
    }
    old_name.clear();
    new_name.clear();
}

Result Rule::_(Result::Type type, std::string_view text,
               boost::beast::http::status status) const {
    Result r(type, text, status);
    // Merging an object into the body: a null body becomes an object first.
    r.json["rule"] = get_name();
    if (type == Result::Route) {
        r.json["alias"] = Result::get_short_path(mav_root, text);
        success.fetch_add(1);
    } else if (type == Result::Error) {
        failed.fetch_add(1);
    }
    return r;
}

Result Rule::route(std::string_view path, std::string_view url) const {
    auto r = _(Result::Route, path, boost::beast::http::status::ok);
    r.json["url"] = url;
    return r;
}

Result Rule::error(std::initializer_list<std::string_view> pieces,
                   boost::beast::http::status status) const {
    // The text is copied into the outcome at once, so one scratch text per thread serves.
    thread_local std::string text;
    text.clear();
    for (auto p : pieces) text.append(p);
    auto r = _(Result::Error, text, status);
    text.clear();
    return r;
}

nlohmann::json Rule::get_stats() const {
    nlohmann::json stats = nlohmann::json::object();
    stats["name"] = get_name();
    stats["config"] = config;
    stats["success"] = success.load();
    stats["failed"] = failed.load();
    get_addi_stats(stats);
    return stats;
}

std::string Rule::dump_answer(const Result& result) {
    if (result.type != Result::Route && result.type != Result::Error) return "null";
    std::string text;
    if (dump_plain_object(result.json, text)) return text;
    return result.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Rule::log_rule(int level, const Request& request, std::string_view text) const {
    if (framework::Syslog::get_log_level() < level) return;
    auto name = get_name();
    framework::Syslog::log(level, "%.*s: %.*s: %.*s", static_cast<int>(request.name.size()),
                           request.name.data(), static_cast<int>(name.size()), name.data(),
                           static_cast<int>(text.size()), text.data());
}
