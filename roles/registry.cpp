#include "roles/registry.hpp"

#include <signal.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/beast/core/buffers_to_string.hpp>

#include "common/pipe.hpp"
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

// What a confgen run may leave on its standard error for the report; more is read and dropped.
constexpr std::size_t kStderrKeep = 1 << 20;

// Reads what the pipe has now into `out` (up to kStderrKeep bytes kept). False at the end of
// the stream or on a failed read.
bool read_available(int fd, std::string& out) {
    char chunk[16384];
    ssize_t n;
    do n = ::read(fd, chunk, sizeof chunk);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    const std::size_t room = kStderrKeep - std::min(out.size(), kStderrKeep);
    out.append(chunk, std::min(static_cast<std::size_t>(n), room));
    return true;
}

// Waits until the child has ended, without reaping it, while its standard error is read as
// it comes: a child that writes more than the pipe holds must not block until the watchdog.
void wait_draining(pid_t pid, int err_fd, std::string& collected) {
    bool open = err_fd >= 0;
    for (;;) {
        siginfo_t info{};
        const int flags = WEXITED | WNOWAIT | (open ? WNOHANG : 0);
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, flags) == 0) {
            if (info.si_pid != 0) return;
        } else if (errno != EINTR) {
            return;  // the reap that follows reports it
        }
        if (!open) continue;
        pollfd ready{err_fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) > 0) open = read_available(err_fd, collected);
    }
}

// One per event-loop thread, reused by every confgen run on it.
std::string& thread_error() {
    thread_local std::string error;
    return error;
}

// A number from the network as a T. The library converts a fractional number with a plain
// cast, which is undefined beyond T's range: such a value is clamped instead. Anything but a
// number fails with the library's own error.
template <typename T>
T read_integer(const json& value) {
    if (value.is_number_float()) {
        const double d = value.get<double>();
        constexpr double kBound = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
        if (d >= kBound) return std::numeric_limits<T>::max();
        if (d < -kBound) return std::numeric_limits<T>::min();
    }
    return value.get<T>();
}

int clamp_int(std::int64_t v) {
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
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

// A loop and a thread of their own for the confgen watchdog.
class Registry::Watchdog {
public:
    Watchdog() : work(io.get_executor()) {}
    ~Watchdog() { stop(); }

    void start() {
        thread = std::thread([this] {
            try {
                io.run();
            } catch (const std::exception& e) {
                Syslog::log(3, "watchdog: %s", e.what());
            }
        });
    }
    void stop() {
        work.reset();
        io.stop();
        if (thread.joinable()) thread.join();
    }

    net::io_context io;

private:
    net::executor_work_guard<net::io_context::executor_type> work;
    std::thread thread;
};

Registry::Registry(const Config& settings)
    : framework::Process("registry"), watchdog(std::make_unique<Watchdog>()), config(settings) {
    add_signal(SIGTERM);
}

Registry::~Registry() {
    // The watchdog's thread must be gone before the timer on its loop.
    if (watchdog) watchdog->stop();
}

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
    confgen_timer = std::make_unique<framework::Timer>(watchdog->io);

    listener->listen(section->callback_url.endpoint(), 128);
    subscribe(get_last_uuid());
    // Runs start only on the loop, so the watchdog is needed only while it runs.
    watchdog->start();
    run(2);
    watchdog->stop();
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
                subscription_id = read_integer<int32_t>(subscription.at("id"));
            }
            const auto expiry = read_integer<int64_t>(subscription.at("expiration_date_msec"));
            const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            std::int64_t left = 0;
            if (__builtin_sub_overflow(expiry, now, &left))
                left = expiry < 0 ? std::numeric_limits<std::int64_t>::min()
                                  : std::numeric_limits<std::int64_t>::max();
            const std::int64_t secs = left / 1000;
            if (left >= kShortLeaseMs) {
                Syslog::log(6, "on_subscribe: %s, for %d sec", next.c_str(), clamp_int(secs));
                delay = secs;
            } else {
                Syslog::log(4, "on_subscribe: %s, for %d -> %d sec", next.c_str(), clamp_int(secs),
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
            Syslog::log(3, "on_subscribe: %s", e.what());
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
                Syslog::log(3, "sync: %s", e.what());
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
            from = read_integer<int64_t>(stats.at("sync_time"));
    }
    if (from != 0)
        Syslog::log(6, "sync with PELL, from %lu", static_cast<unsigned long>(from));
    else
        Syslog::log(5, "full sync with PELL");

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
        Syslog::log(4, "on_sync: code %u", answer.result_int());
        return;
    }
    const json doc = json::parse(beast::buffers_to_string(answer.body().data()));
    const json& data = doc.at("data");
    const auto total = read_integer<int32_t>(doc.at("total"));
    if (total <= 0) {
        Syslog::log(6, "on_sync: no updates yet");
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
            Syslog::log(3, "on_sync: %s", e.what());
            break;
        }
        try {
            const auto t = read_integer<int64_t>(item->at("last_modify_time"));
            if (t > max) max = t;
            call_confgen(*item, t, i == total - 1, error);
        } catch (const std::exception& e) {
            Syslog::log(3, "on_sync: %s", e.what());
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
    Syslog::log(6, "status: %s.%s: %s", subsystem.c_str(), unit.c_str(), ok ? "Success" : "Failed");
    if (error.size() > kErrorLimit) error.resize(kErrorLimit);
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

void Registry::on_confgen_timeout() const {
    std::lock_guard guard(watch_lock);
    if (watched == nullptr) return;  // the run ended meanwhile
    Syslog::log(4, "%s: * killed by timer", watched->name.c_str());
    watched_error->append("confgen hangup");
    watched->kill(SIGKILL);
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
        target = subsystem + "." + unit;
        args.push_back("--delete");
        args.push_back(target.c_str());
        Syslog::log(6, "confgen: DELETE: %s", unit.c_str());
    } else {
        json::json_pointer at("/custom_objects");
        at /= std::string(config.get_gw_type());
        unit = item.at(at / "deploymentUnit").get<std::string>();
        subsystem = item.at(at / "subsystem").get<std::string>();
        args.push_back("--update");
        Syslog::log(6, "confgen: UPDATE: %s", unit.c_str());
    }
    if (last) args.push_back("--reload");

    framework::Process child("confgen");
    framework::Pipe input;
    if (!child.exec(args, {}, nullptr, &input)) return false;

    {
        std::lock_guard guard(watch_lock);
        watched = &child;
        watched_error = &error;
    }
    confgen_timer->start(kConfgenLimit, [this](boost::system::error_code) { on_confgen_timeout(); });

    // A child that has already ended, or that is killed while the write waits on a full pipe,
    // makes the write fail (SIGPIPE is ignored in the role): its exit status tells the outcome.
    const std::string text = item.dump();
    static constexpr char kEnd[2] = {'\n', '\0'};
    if (input.write_end.write(text.data(), text.size())) input.write_end.write(kEnd, sizeof kEnd);

    // Wait for the end without reaping, so that a kill by the watchdog can never reach another
    // process that took the same id; then retire the watchdog, then reap.
    framework::File& err = child.err.read_end;
    std::string collected;
    wait_draining(child.pid, err.get_fd(), collected);
    {
        std::lock_guard guard(watch_lock);
        watched = nullptr;
        watched_error = nullptr;
        confgen_timer->cancel();
    }
    if (!child.wait(0)) return false;

    const bool ok = WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
    for (;;) {
        int unread = 0;
        if (::ioctl(err.get_fd(), FIONREAD, &unread) != 0 || unread < 1) break;
        if (!read_available(err.get_fd(), collected)) break;
    }
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
        if (!ok) Syslog::log(3, "%s: %.*s", child.name.c_str(), static_cast<int>(line.size()), line.data());
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
        Syslog::log(9, "%s: registry forced update, %u byte(s)", name, size);
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
    Syslog::log(9, "%s: registry update, %u byte(s)", name, size);
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
