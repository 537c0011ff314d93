#include "roles/registry.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

#include <boost/beast/core/buffers_to_string.hpp>

#include "common/strings.hpp"
#include "common/syslog.hpp"

namespace registry {

using framework::Syslog;
using framework::iequals;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using Client = framework::HttpClientT<framework::TcpSession>;

constexpr std::string_view kSubscribeTarget =
    "/api/v1/topologies?graph_processing_mode=COMPOSITE&include=[\"subsystems\","
    "\"subsystems.deployment_units\",\"subsystems.deployment_units.deployment_unit_instances\","
    "\"subsystems.deployment_units.deployment_unit_instances.subscription\","
    "\"subsystems.deployment_units.deployment_unit_instances.subscription."
    "subscription_gateway_filter\"]&cayenneExp=code=\"RUNTIME_TOPOLOGY\" and "
    "subsystems.code=\"ORU\" and subsystems.deployment_units.code=\"oru-nginx\"";
constexpr std::string_view kStatusTarget = "/api/v1/topologies?graph_processing_mode=COMPOSITE";
constexpr std::string_view kUnsubscribeTarget = "/api/v1/subscriptions/";
constexpr std::size_t kErrorLimit = 4095;
constexpr std::size_t kLineLimit = 4096;
constexpr std::int64_t kShortLeaseMs = 10000;
constexpr std::int64_t kShortLeaseSecs = 300;

// A code goes into confgen's arguments and into log lines, where a NUL byte would end it
// early and name another unit: such an item is as unusable as one without the code.
void refuse_nul(const char* key, const std::string& code) {
    if (code.find('\0') != std::string::npos)
        throw std::invalid_argument(std::string("\"") + key + "\" holds a NUL byte");
}

// One per event-loop thread, reused by every confgen run on it.
std::string& thread_error() {
    thread_local std::string error;
    return error;
}

// The number `key` of `parent` as a T. One that T cannot hold is as unreadable as one of the
// wrong type: the library would wrap an integer and cast a fractional number (undefined beyond
// T's range), and a value made up that way would be stored and sent back. A fractional number
// that fits is cut toward zero. Anything but a number fails with the library's own error.
template <typename T>
T read_integer(const json& parent, const char* key) {
    const json& value = parent.at(key);
    bool fits = true;
    if (value.is_number_unsigned()) {
        fits = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    } else if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        fits = v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
    } else if (value.is_number_float()) {
        // Both bounds are powers of two, exact as doubles; NaN fails both comparisons.
        constexpr double kBound = -static_cast<double>(std::numeric_limits<T>::min());
        const double whole = std::trunc(value.get<double>());
        fits = whole >= -kBound && whole < kBound;
    }
    if (!fits) throw std::out_of_range(std::string("\"") + key + "\" out of range: " + value.dump());
    return value.get<T>();
}

int clamp_int(std::int64_t v) {
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// The longest length of at most `limit` that does not split a UTF-8 character of `text`; in
// bytes that are no UTF-8, a plain `limit`.
std::size_t utf8_cut(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    // A character has at most three continuation bytes (10xxxxxx) after its first one.
    for (std::size_t cut = limit; cut + 3 >= limit && cut > 0; --cut) {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) return cut;
    }
    return limit;
}

// The compact dump; bytes that are not UTF-8 (a confgen's standard error may hold any) are
// replaced rather than failing the whole message.
std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool send_json(Client& client, http::verb verb, const framework::Url& url, const json& body) {
    const std::string text = dump(body);
    framework::HttpxClient::fields_type fields;
    fields.emplace_back("Content-Type", "application/json");
    return client.send(verb, url, std::string_view(text), std::move(fields), 11);
}

// The topology object that carries one instance of this gateway's unit.
json topology_of(json instance, std::string_view mav_root) {
    json unit = json::object();
    unit["code"] = "oru-nginx";
    unit["deployment_unit_instances"] = json::array({std::move(instance)});
    unit["node_path"] = std::string(mav_root);
    json subsystem = json::object();
    subsystem["code"] = "ORU";
    subsystem["deployment_units"] = json::array({std::move(unit)});
    json topology = json::object();
    topology["code"] = "RUNTIME_TOPOLOGY";
    topology["subsystems"] = json::array({std::move(subsystem)});
    return json::array({std::move(topology)});
}

json property(std::string key, std::string value) {
    json p = json::object();
    p["key"] = std::move(key);
    p["value"] = std::move(value);
    return p;
}

}  // namespace

Registry::Registry(const Config& settings)
    : framework::Process("registry"), config(settings) {
    add_signal(SIGTERM);
}

Registry::~Registry() = default;

const RegistryConfig* Registry::get_config() const { return config.get_registry().get(); }

std::string Registry::get_last_uuid() const {
    std::lock_guard guard(stats_lock);
    const json& stats = get_config()->get_sync_stats();
    // at() makes statistics that are not an object fail with the library's error.
    if (!stats.is_object() || stats.contains("uuid")) return stats.at("uuid").get<std::string>();
    return {};
}

std::string Registry::current_uuid() const {
    std::lock_guard guard(state_lock);
    return uuid;
}

int Registry::main() {
    // The section is held by the settings, which a role process never replaces.
    const RegistryConfig* section = get_config();
    if (section == nullptr) throw std::runtime_error("registry section is off");

    listener = std::make_shared<framework::Listener<net::ip::tcp>>(
        io, [this](socket_type&& socket) { on_accept(std::move(socket)); });
    subscribe_timer = std::make_unique<framework::Timer>(io);
    sync_timer = std::make_unique<framework::Timer>(io);

    listener->listen(section->callback_url.endpoint(), 128);
    subscribe(get_last_uuid());
    run(2);
    section->sync_stats();
    return 0;
}

void Registry::on_stop() {
    if (listener) listener->stop();
    {
        std::lock_guard guard(timer_lock);
        if (subscribe_timer) subscribe_timer->cancel();
    }
    unsubscribe();
}

void Registry::on_accept(socket_type&& socket) {
    std::make_shared<Notice>(std::move(socket), *this)->accept();
}

void Registry::subscribe(std::string_view instance_uuid) {
    const RegistryConfig* section = get_config();
    const framework::Url& callback = section->callback_url;
    const std::string_view mav_root = config.get_mav_root();

    json filter = json::object();
    filter["gateway_type"] = std::string(config.get_gw_type());
    filter["node_path"] = std::string(mav_root);
    json subscription = json::object();
    subscription["callback_url"] = callback.text;
    subscription["subscription_gateway_filter"] = std::move(filter);
    json instance = json::object();
    instance["physical_coordinate_host"] = callback.host;
    instance["physical_coordinate_ip"] = callback.address;
    instance["subscription"] = std::move(subscription);
    instance["uuid"] = std::string(instance_uuid);

    auto client = std::make_shared<Client>("subscribe", io);
    client->callback = [this](response_type&& answer) { on_subscribe(std::move(answer)); };
    const framework::Url url(section->url + std::string(kSubscribeTarget));
    send_json(*client, http::verb::patch, url, topology_of(std::move(instance), mav_root));
}

void Registry::on_subscribe(response_type&& answer) {
    std::int64_t delay = 5;
    if (answer.result_int() == 200 && answer.body().size() > 0) {
        try {
            const json doc = json::parse(beast::buffers_to_string(answer.body().data()));
            const json& instance = doc.at(json::json_pointer(
                "/data/0/subsystems/0/deployment_units/0/deployment_unit_instances/0"));
            std::string next = instance.at("uuid").get<std::string>();
            const json& subscription = instance.at("subscription");
            {
                std::lock_guard guard(state_lock);
                subscription_id = read_integer<int32_t>(subscription, "id");
            }
            const auto expiry = read_integer<int64_t>(subscription, "expiration_date_msec");
            const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            std::int64_t left = 0;
            if (__builtin_sub_overflow(expiry, now, &left))
                left = expiry < 0 ? std::numeric_limits<std::int64_t>::min()
                                  : std::numeric_limits<std::int64_t>::max();
            const std::int64_t secs = left / 1000;
            if (left >= kShortLeaseMs) {
                Syslog::log(Syslog::kInfo, "on_subscribe: %s, for %d sec", next.c_str(), clamp_int(secs));
                delay = secs;
            } else {
                Syslog::log(Syslog::kWarning, "on_subscribe: %s, for %d -> %d sec", next.c_str(), clamp_int(secs),
                            static_cast<int>(kShortLeaseSecs));
                delay = kShortLeaseSecs;
            }
            bool due = false;
            {
                std::lock_guard guard(state_lock);
                due = uuid.empty() || uuid != next;
                uuid = std::move(next);
            }
            if (due) sync(0s);
            delay -= 5;
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "on_subscribe: %s", e.what());
            delay = 5;
        }
    }
    // Tested under the lock too: SIGTERM sets the flag before it cancels under this lock, so
    // a renewal is either refused here or cancelled there.
    std::lock_guard guard(timer_lock);
    if (framework::SigHandler::is_stop_ || !subscribe_timer) return;
    subscribe_timer->start(std::chrono::seconds(delay),
                           [this](boost::system::error_code) { subscribe(current_uuid()); });
}

void Registry::unsubscribe() {
    std::int32_t id = 0;
    {
        std::lock_guard guard(state_lock);
        id = subscription_id;
    }
    if (id == 0) return;
    auto client = std::make_shared<Client>("unsubscribe", io);
    const framework::Url url(get_config()->url + std::string(kUnsubscribeTarget) + std::to_string(id));
    client->send(http::verb::delete_, url, std::string_view(), {}, 11);
}

void Registry::sync(std::chrono::seconds delay) const {
    if (delay.count() > 0) {
        std::lock_guard guard(timer_lock);
        if (!sync_timer) return;
        sync_timer->start(delay, [this](boost::system::error_code) {
            // Nothing may escape into the loop: it would end one of the role's two threads.
            try {
                sync(0s);
            } catch (const std::exception& e) {
                Syslog::log(Syslog::kError, "sync: %s", e.what());
            }
        });
        return;
    }
    std::int64_t from = 0;
    {
        std::lock_guard guard(stats_lock);
        const json& stats = get_config()->get_sync_stats();
        // at() makes statistics that are not an object fail with the library's error.
        if (!stats.is_object() || stats.contains("sync_time"))
            from = read_integer<int64_t>(stats, "sync_time");
    }
    if (from != 0)
        Syslog::log(Syslog::kInfo, "sync with PELL, from %lu", static_cast<unsigned long>(from));
    else
        Syslog::log(Syslog::kNotice, "full sync with PELL");

    const std::string target = "/api/v1/deployment_units?includeCustomObjects=" +
                               std::string(config.get_gw_type()) +
                               "&cayenneExp=subsystem.topology.code=\"CONFIG_TOPOLOGY\" and node_path=\"" +
                               std::string(config.get_mav_root()) + "\" and last_modify_time > \"" +
                               std::to_string(from) + "\"";
    auto client = std::make_shared<Client>("sync", io);
    client->callback = [this](response_type&& answer) { on_sync(std::move(answer)); };
    client->send(http::verb::get, framework::Url(get_config()->url + target), std::string_view(), {}, 11);
}

void Registry::on_sync(response_type&& answer) const {
    if (answer.result_int() != 200) {
        Syslog::log(Syslog::kWarning, "on_sync: code %u", answer.result_int());
        return;
    }
    const json doc = json::parse(beast::buffers_to_string(answer.body().data()));
    const json& data = doc.at("data");
    const auto total = read_integer<int32_t>(doc, "total");
    if (total <= 0) {
        Syslog::log(Syslog::kInfo, "on_sync: no updates yet");
        return;
    }

    std::lock_guard guard(mutex);
    std::int64_t max = 0;
    std::string& error = thread_error();
    for (std::int32_t i = 0; i < total; ++i) {
        const json* item = nullptr;
        try {
            item = &data.at(static_cast<std::size_t>(i));
        } catch (const std::exception& e) {
            // Every later index fails the same way: a "total" beyond the array must not
            // hold the batch (and its lock) for billions of log lines.
            Syslog::log(Syslog::kError, "on_sync: %s", e.what());
            break;
        }
        try {
            const auto t = read_integer<int64_t>(*item, "last_modify_time");
            if (t > max) max = t;
            call_confgen(*item, t, i == total - 1, error);
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "on_sync: %s", e.what());
        }
    }
    std::string instance = current_uuid();
    std::lock_guard stats_guard(stats_lock);
    json& stats = get_config()->get_sync_stats();
    stats["sync_time"] = max;
    stats["uuid"] = std::move(instance);
}

void Registry::set_status(const std::string& subsystem, const std::string& unit, int64_t revision,
                          bool ok, std::string& error) const {
    Syslog::log(Syslog::kInfo, "status: %s.%s: %s", subsystem.c_str(), unit.c_str(), ok ? "Success" : "Failed");
    if (error.size() > kErrorLimit) error.resize(utf8_cut(error, kErrorLimit));
    const std::string name = subsystem + "." + unit;
    json properties = json::array();
    properties.push_back(property("conf.apply.status." + name, ok ? "SUCCESS" : "FAIL"));
    properties.push_back(property("conf.apply.revision." + name, std::to_string(revision)));
    properties.push_back(property("conf.apply.error.message." + name, std::move(error)));
    error.clear();
    json instance = json::object();
    instance["dynamic_properties"] = std::move(properties);
    instance["uuid"] = current_uuid();

    auto client = std::make_shared<Client>("status", io);
    const framework::Url url(get_config()->url + std::string(kStatusTarget));
    send_json(*client, http::verb::patch, url, topology_of(std::move(instance), config.get_mav_root()));
}

bool Registry::call_confgen(const json& item, int64_t revision, bool last, std::string& error) const {
    error.clear();
    const std::string action = item.value("action", std::string());
    const std::string& program = get_config()->confgen;
    std::string unit;
    std::string subsystem;
    std::string target;
    std::vector<const char*> args{program.c_str()};
    if (iequals(action, "DELETED")) {
        unit = item.at("deploymentUnit").get<std::string>();
        subsystem = item.at("subsystem").get<std::string>();
        refuse_nul("deploymentUnit", unit);
        refuse_nul("subsystem", subsystem);
        target = subsystem + "." + unit;
        args.push_back("--delete");
        args.push_back(target.c_str());
        Syslog::log(Syslog::kInfo, "confgen: DELETE: %s", unit.c_str());
    } else {
        json::json_pointer at("/custom_objects");
        at /= std::string(config.get_gw_type());
        unit = item.at(at / "deploymentUnit").get<std::string>();
        subsystem = item.at(at / "subsystem").get<std::string>();
        refuse_nul("deploymentUnit", unit);
        refuse_nul("subsystem", subsystem);
        args.push_back("--update");
        Syslog::log(Syslog::kInfo, "confgen: UPDATE: %s", unit.c_str());
    }
    if (last) args.push_back("--reload");

    // The runner writes while it reads standard error: a large item and a confgen that
    // reports much before it reads must not block each other until the limit.
    framework::Process child("confgen");
    std::string input = item.dump();
    input += '\n';
    input += '\0';
    const framework::Process::Outcome run = child.run_program(std::move(args), {}, input, kConfgenLimit);
    if (run.killed) {
        Syslog::log(Syslog::kWarning, "%s: * killed by timer", child.name.c_str());
        error.append("confgen hangup");
    }
    if (!run.ended) return false;

    const bool ok = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    const std::string& collected = run.error;
    // Lines of at most kLineLimit bytes; a line feed ends one and is not kept, a longer line
    // comes in pieces, and an empty line ends the text.
    std::size_t at = 0;
    while (at < collected.size()) {
        const std::size_t start = at;
        std::size_t length = 0;
        while (length < kLineLimit && at < collected.size()) {
            if (collected[at++] == '\n') break;
            ++length;
        }
        if (length == 0) break;
        const std::string_view line(collected.data() + start, length);
        if (!ok) Syslog::log(Syslog::kError, "%s: %.*s", child.name.c_str(), static_cast<int>(line.size()), line.data());
        error.append(line);
        error += '\n';
    }
    if (revision != 0) set_status(subsystem, unit, revision, ok, error);
    return ok;
}

Notice::Notice(net::ip::tcp::socket&& socket, const Registry& owner)
    : framework::HttpServerT<framework::TcpSession>(std::move(socket)), registry(owner) {
    static constexpr std::string_view kBase = "notice";
    std::snprintf(name, sizeof name, "%.*s(%zu)", static_cast<int>(kBase.size()), kBase.data(),
                  count_.load());
}

void Notice::on_request(parser_type& parser) {
    const auto& request = parser.get();
    if (request.method() != http::verb::post) {
        respond(http::status::method_not_allowed, {}, {});
        return;
    }
    const auto target = request.target();
    if (!iequals(std::string_view(target.data(), target.size()), registry.get_config()->callback_url.path)) {
        respond(http::status::bad_request, {}, {});
        return;
    }
    const std::string text = beast::buffers_to_string(request.body().data());
    const json body = json::parse(text);
    const unsigned size = static_cast<unsigned>(text.size());
    const Config& config = registry.config;

    if (body.is_object() && body.contains("custom_objects")) {
        const std::string node_path = body.value("node_path", std::string());
        const json& objects = body["custom_objects"];
        const auto force = request.find("rs-force-update");
        if (!objects.is_object() || !objects.contains(config.get_gw_type()) ||
            node_path != config.get_mav_root() || force == request.end() || force->value() != "true") {
            respond(http::status::bad_request, {}, {});
            return;
        }
        Syslog::log(Syslog::kDebug3, "%s: registry forced update, %u byte(s)", name, size);
        std::lock_guard guard(registry.mutex);
        std::string& error = thread_error();
        if (registry.call_confgen(body, 0, true, error)) {
            respond(http::status::ok, {}, {});
        } else {
            json errors = json::object();
            errors["errors"] = std::move(error);
            error.clear();
            respond(http::status::service_unavailable, dump(errors), "application/json");
        }
        return;
    }

    const std::string type = body.at("type").get<std::string>();
    if (!iequals(type, "DeploymentUnitChangePayload")) {
        respond(http::status::bad_request, {}, {});
        return;
    }
    Syslog::log(Syslog::kDebug3, "%s: registry update, %u byte(s)", name, size);
    const std::string action = body.at("action").get<std::string>();
    if (iequals(action, "DELETED")) {
        std::lock_guard guard(registry.mutex);
        const bool ok = registry.call_confgen(body, 0, true, thread_error());
        respond(ok ? http::status::ok : http::status::service_unavailable, {}, {});
        return;
    }
    registry.sync(3s);
    respond(http::status::ok, {}, {});
}

}  // namespace registry
