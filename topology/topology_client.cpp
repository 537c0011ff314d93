#include "topology/topology_client.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include <boost/beast/core/buffers_to_string.hpp>
#include <nlohmann/json.hpp>

#include "common/signal_handler.hpp"
#include "common/syslog.hpp"
#include "config/config.hpp"
#include "network/tcp_session.hpp"
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

}  // namespace

TopologyClient::TopologyClient(const Config& config, const json_tools::filter::Node& filter,
                               const framework::Url& url, uint16_t period,
                               boost::asio::io_context& io, TopologyArbiter* arbiter,
                               const std::string* name)
    : client(make_request_object(config, url, name, io)),
      config(&config),
      filter(&filter),
      url(url),
      period(period),
      timer(io),
      arbiter(arbiter),
      state(std::make_shared<State>()) {
    // The platform root never changes in a role process: the body is made once.
    body = "{\"nodePath\":";
    body += nlohmann::json(std::string(config.get_mav_root()))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    body += '}';
    state->self = this;
    // The request object may outlive the client (its handlers hold it): the callback reaches
    // the client only through the shared state, and only while the client lives.
    client->callback = [state = state](response_type&& answer) {
        std::lock_guard guard(state->mutex);
        if (state->self != nullptr) state->self->on_update(std::move(answer));
    };
}

TopologyClient::~TopologyClient() {
    {
        std::lock_guard guard(state->mutex);
        state->self = nullptr;
        state->stopped = true;
        timer.cancel();
    }
    client->cancel(boost::system::error_code(ECANCELED, boost::system::generic_category()));
}

void TopologyClient::update() {
    std::lock_guard guard(state->mutex);
    send_poll();
}

void TopologyClient::send_poll() {
    // A poll already on its way or scheduled is the next one; one request at a time.
    if (state->stopped || stopping() || timer.armed || state->in_flight) return;
    framework::HttpxClient::fields_type fields{{"Content-Type", "application/json"}};
    // A URL the request object refuses is logged there and never answered: polling ends.
    state->in_flight = client->send(http::verb::post, url, std::string_view(body), std::move(fields), 11);
}

void TopologyClient::stop() {
    {
        std::lock_guard guard(state->mutex);
        state->stopped = true;
        timer.cancel();
    }
    client->cancel(boost::system::error_code(ECANCELED, boost::system::generic_category()));
}

void TopologyClient::start_timer() {
    std::lock_guard guard(state->mutex);
    arm_timer();
}

void TopologyClient::arm_timer() {
    if (state->stopped || stopping() || timer.armed || period == 0) return;
    const auto seconds = std::chrono::seconds(std::min(period, kMaxPeriod));
    timer.start(seconds, [state = state](boost::system::error_code ec) {
        std::lock_guard guard(state->mutex);
        TopologyClient* self = state->self;
        if (self == nullptr || state->stopped) return;
        if (ec) {
            Syslog::log(3, "topology_timer: %s", ec.message().c_str());
            self->stats.failed.fetch_add(1);
            return;
        }
        self->send_poll();
    });
}

void TopologyClient::on_update(response_type&& answer) {
    state->in_flight = false;
    // The next poll is one period after this answer, whatever the answer is.
    arm_timer();
    if (state->stopped || answer.result() != http::status::ok || answer.body().size() == 0) {
        stats.failed.fetch_add(1);
        return;
    }
    try {
        TopologyParser parser(*filter, config->get_mav_root());
        if (!parser.parse(beast::buffers_to_string(answer.body().data()))) {
            Syslog::log(4, "topology: %s", parser.error.c_str());
            stats.failed.fetch_add(1);
            return;
        }
        Syslog::log(7, "topology: updating data");
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
        Syslog::log(3, "topology: error: %s", e.what());
        stats.failed.fetch_add(1);
    } catch (...) {
        Syslog::log(3, "topology: unknown parsing error");
        stats.failed.fetch_add(1);
    }
}

std::shared_ptr<TopologyData> TopologyClient::get() const {
    std::shared_lock guard(lock);
    return data;
}

const Topology::Stats* TopologyClient::get_stats() const { return &stats; }
