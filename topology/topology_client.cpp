#include "topology/topology_client.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <future>
#include <shared_mutex>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <nlohmann/json.hpp>

#include "common/signal_handler.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"
#include "network/tcp_session.hpp"
#include "network/timer.hpp"
#include "network/tls_session.hpp"
#include "topology/topology-parser.hpp"
#include "topology/topology_arbiter_basic.hpp"

namespace {

using framework::Syslog;

std::shared_ptr<framework::HttpxClient> make_request_object(const Config& config,
                                                            const framework::Url& url,
                                                            const std::string* name,
                                                            boost::asio::io_context& io) {
    const char* label = name != nullptr && !name->empty() ? name->c_str() : "topo_client";
    if ((url.proto & framework::Url::kHttps) != 0)
        return std::make_shared<framework::HttpClientT<framework::TlsSession>>(
            label, io, config.get_client_ssl());
    return std::make_shared<framework::HttpClientT<framework::TcpSession>>(label, io);
}

bool stopping() { return framework::SigHandler::is_stop_.load(); }

boost::system::error_code cancelled() {
    return boost::system::error_code(ECANCELED, boost::system::generic_category());
}

}  // namespace

class TopologyClient::Poller : public std::enable_shared_from_this<Poller> {
public:
    using Strand = net::strand<net::io_context::executor_type>;

    Poller(const Config& config, const json_tools::filter::Node& filter, const framework::Url& url,
           uint16_t period, boost::asio::io_context& io, TopologyArbiter* arbiter,
           const std::string* name);
    // Abandons the request in flight; the timer's pending wait goes with the timer.
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Hands the answers of the request object to the strand; once, right after make_shared.
    void start();
    // Any thread: claims the one request a client may have in flight, then sends it. Sent on
    // the caller's thread, so the request object's lines of a first poll made before the
    // loop runs are written where the owner asks for it.
    void send_poll();
    // Any thread.
    void stop();
    // On the strand.
    void on_update(response_type&& answer);
    void start_timer();

    // Runs `work(poller)` on `strand` if the poller still lives by then; nothing holds the
    // poller until then, so a late answer or timer never keeps it, or its owner's pointers,
    // alive.
    template <class Work>
    static void on_strand(const Strand& strand, std::weak_ptr<Poller> weak, Work&& work) {
        net::dispatch(strand, [weak = std::move(weak), work = std::forward<Work>(work)]() mutable {
            if (auto self = weak.lock()) work(*self);
        });
    }
    template <class Work>
    void on_strand(Work&& work) {
        on_strand(strand, weak_from_this(), std::forward<Work>(work));
    }

    // Tells the owner, when the very last member is gone, that nothing of the poller runs.
    struct Farewell {
        std::promise<void>* gone = nullptr;
        ~Farewell() {
            if (gone != nullptr) gone->set_value();
        }
    };
    Farewell farewell;  // first, so destroyed last

    std::shared_ptr<TopologyData> data;
    mutable std::shared_mutex lock;
    Stats stats;
    // Read on any thread; once set, nothing is sent and nothing scheduled again.
    std::atomic<bool> stopped{false};

private:
    void on_timer(boost::system::error_code ec);

    Strand strand;
    std::shared_ptr<framework::HttpxClient> client;
    const Config* config;
    const json_tools::filter::Node* filter;
    framework::Url url;
    uint16_t period;
    framework::Timer timer;  // started and cancelled on the strand only
    TopologyArbiter* arbiter;
    std::string body;  // the poll body, made once
    std::atomic<bool> in_flight{false};
};

TopologyClient::Poller::Poller(const Config& config, const json_tools::filter::Node& filter,
                               const framework::Url& url, uint16_t period,
                               boost::asio::io_context& io, TopologyArbiter* arbiter,
                               const std::string* name)
    : strand(net::make_strand(io)),
      client(make_request_object(config, url, name, io)),
      config(&config),
      filter(&filter),
      url(url),
      period(period),
      timer(io),
      arbiter(arbiter) {
    // The platform root never changes in a role process: the body is made once.
    body = "{\"nodePath\":";
    body += nlohmann::json(std::string(config.get_mav_root()))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    body += '}';
}

TopologyClient::Poller::~Poller() { client->cancel(cancelled()); }

void TopologyClient::Poller::start() {
    // The request object may outlive the poller (its handlers hold it): the callback holds
    // the poller only weakly.
    client->callback = [weak = weak_from_this(), strand = strand](response_type&& answer) {
        on_strand(strand, weak, [answer = std::move(answer)](Poller& self) mutable {
            self.on_update(std::move(answer));
        });
    };
}

void TopologyClient::Poller::send_poll() {
    // A poll already on its way or scheduled is the next one; one request at a time.
    if (stopped.load() || stopping() || timer.armed || in_flight.exchange(true)) return;
    framework::HttpxClient::fields_type fields{{"Content-Type", "application/json"}};
    // A URL the request object refuses is logged there and never answered: polling ends.
    if (!client->send(http::verb::post, url, std::string_view(body), std::move(fields), 11)) {
        in_flight.store(false);
        return;
    }
    // A stop() between the check above and the send may have cancelled before this request
    // was numbered: cancelled here then, so that nothing goes out after a stop.
    if (stopped.load()) client->cancel(cancelled());
}

void TopologyClient::Poller::stop() {
    stopped.store(true);
    on_strand([](Poller& self) { self.timer.cancel(); });
    client->cancel(cancelled());
}

void TopologyClient::Poller::start_timer() {
    if (stopped.load() || stopping() || timer.armed || period == 0) return;
    const auto seconds = std::chrono::seconds(std::min(period, kMaxPeriod));
    timer.start(seconds, [weak = weak_from_this(), strand = strand](boost::system::error_code ec) {
        on_strand(strand, weak, [ec](Poller& self) { self.on_timer(ec); });
    });
}

void TopologyClient::Poller::on_timer(boost::system::error_code ec) {
    if (stopped.load()) return;
    if (ec) {
        Syslog::log(Syslog::kError, "topology_timer: %s", ec.message().c_str());
        stats.failed.fetch_add(1);
        return;
    }
    send_poll();
}

void TopologyClient::Poller::on_update(response_type&& answer) {
    // The next poll is one period after this answer, whatever the answer is. Scheduled
    // before the request counts as done, so an owner's update() in between finds it.
    start_timer();
    in_flight.store(false);
    if (stopped.load() || answer.result() != http::status::ok || answer.body().size() == 0) {
        stats.failed.fetch_add(1);
        return;
    }
    try {
        TopologyParser parser(*filter, config->get_mav_root());
        if (!parser.parse(beast::buffers_to_string(answer.body().data()))) {
            Syslog::log(Syslog::kWarning, "topology: %s", parser.error.c_str());
            stats.failed.fetch_add(1);
            return;
        }
        Syslog::log(Syslog::kDebug, "topology: updating data");
        if (arbiter != nullptr) {
            // Client lock, then the arbiter's mutex: the one order of the topology code.
            std::unique_lock guard(lock);
            arbiter->apply_update(url.text, std::move(parser.contours));
        } else {
            // The snapshot and its indexes are built before the lock: readers wait only
            // for the swap.
            auto next = parser.get();
            std::unique_lock guard(lock);
            data.swap(next);
        }
        stats.success.fetch_add(1);
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, "topology: error: %s", e.what());
        stats.failed.fetch_add(1);
    } catch (...) {
        Syslog::log(Syslog::kError, "topology: unknown parsing error");
        stats.failed.fetch_add(1);
    }
}

TopologyClient::TopologyClient(const Config& config, const json_tools::filter::Node& filter,
                               const framework::Url& url, uint16_t period,
                               boost::asio::io_context& io, TopologyArbiter* arbiter,
                               const std::string* name)
    : poller(std::make_shared<Poller>(config, filter, url, period, io, arbiter, name)) {
    poller->start();
}

TopologyClient::~TopologyClient() {
    // The poller goes with its last reference: here, or at the end of the one handler
    // running on its strand at this moment, which is waited for.
    std::promise<void> gone;
    auto done = gone.get_future();
    poller->stopped.store(true);
    poller->farewell.gone = &gone;
    poller.reset();
    done.wait();
}

void TopologyClient::update() { poller->send_poll(); }

void TopologyClient::stop() { poller->stop(); }

void TopologyClient::on_update(response_type&& answer) {
    poller->on_strand([answer = std::move(answer)](Poller& self) mutable {
        self.on_update(std::move(answer));
    });
}

void TopologyClient::start_timer() {
    poller->on_strand([](Poller& self) { self.start_timer(); });
}

std::shared_ptr<TopologyData> TopologyClient::get() const {
    std::shared_lock guard(poller->lock);
    return poller->data;
}

const Topology::Stats* TopologyClient::get_stats() const { return &poller->stats; }
