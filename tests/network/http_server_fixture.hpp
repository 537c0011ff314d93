#pragma once
// An HTTP server connection whose hooks a test chooses, served by a listener on a
// free loopback port over plain TCP or TLS.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "network/http_server.hpp"
#include "network/listener.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace servertest {

// With `using namespace servertest;` a server test has every name it uses but its own
// transport's server and connection.
using framework::TcpSession;
using framework::TlsSession;
using testsupport::PeerTls;
using testsupport::RawClient;
using testsupport::raw_exchange;
using testsupport::wait_for;

template <class S>
class TestConnection : public framework::HttpServerT<S> {
public:
    using Base = framework::HttpServerT<S>;
    using typename Base::parser_type;
    using Handler = std::function<void(TestConnection&, parser_type&)>;

    template <class... Args>
    explicit TestConnection(Handler request, Handler timeout, Args&&... args)
        : Base(std::forward<Args>(args)...),
          request_(std::move(request)),
          timeout_(std::move(timeout)) {}

    std::vector<std::pair<std::string, std::string>> fields;
    parser_type* parsed = nullptr;

protected:
    void on_header(boost::string_view name, boost::string_view value) override {
        fields.emplace_back(std::string(name), std::string(value));
    }
    void on_request(parser_type& p) override {
        parsed = &p;
        if (request_) request_(*this, p);
    }
    void on_timeout() override {
        if (timeout_ && parsed) timeout_(*this, *parsed);
        if (timeout_ && !parsed) {
            parser_type none;
            timeout_(*this, none);
        }
    }

private:
    Handler request_;
    Handler timeout_;
};

// Serves TestConnection<S> on 127.0.0.1; for TLS with the given settings object.
template <class S>
class TestServer {
public:
    using Connection = TestConnection<S>;
    using Handler = typename Connection::Handler;

    TestServer(net::io_context& io, Handler request, Handler timeout = {},
               nlohmann::json tls = nullptr)
        : setup_(std::make_shared<Setup>(Setup{std::move(request), std::move(timeout), std::move(tls)})) {
        // The callback owns what it uses: stop() closes the acceptor later, on a loop
        // thread, and an accept completing meanwhile must not reach a server that is gone.
        listener_ = std::make_shared<framework::Listener<net::ip::tcp>>(
            io, [setup = setup_](net::ip::tcp::socket&& socket) {
                std::shared_ptr<Connection> c;
                if constexpr (std::is_same_v<S, framework::TlsSession>)
                    c = std::make_shared<Connection>(setup->request, setup->timeout,
                                                     std::move(socket), setup->tls);
                else
                    c = std::make_shared<Connection>(setup->request, setup->timeout,
                                                     std::move(socket));
                c->accept();
            });
        port = testsupport::free_port();
        listener_->listen(
            net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port), 128);
    }
    ~TestServer() {
        listener_->stop();
    }

    uint16_t port = 0;

private:
    struct Setup {
        Handler request;
        Handler timeout;
        nlohmann::json tls;
    };
    std::shared_ptr<Setup> setup_;
    std::shared_ptr<framework::Listener<net::ip::tcp>> listener_;
};

inline bool no_live_connections() {
    return framework::TcpSession::count_.load() == 0 && framework::TlsSession::count_.load() == 0;
}

}  // namespace servertest
