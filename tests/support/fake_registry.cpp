#include "support/fake_registry.hpp"

#include <cctype>
#include <thread>

#include <nlohmann/json.hpp>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "support/test_support.hpp"

namespace testsupport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

std::string percent_decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool is_subscription(const RecordedRequest& r) {
    return r.method == "PATCH" && r.decoded.find("&include=") != std::string::npos;
}

std::string subscription_answer(const std::string& uuid, int id, std::chrono::milliseconds lease) {
    using nlohmann::json;
    const auto expiry = std::chrono::duration_cast<std::chrono::milliseconds>(
                            (std::chrono::system_clock::now() + lease).time_since_epoch())
                            .count();
    const json instance = {{"uuid", uuid}, {"subscription", {{"id", id}, {"expiration_date_msec", expiry}}}};
    const json units = json::array({{{"deployment_unit_instances", json::array({instance})}}});
    return json({{"data", json::array({{{"subsystems", json::array({{{"deployment_units", units}}})}}})}}).dump();
}

struct FakeRegistry::Impl {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    std::thread thread;
    mutable std::mutex lock;
    Handler handler;
    std::vector<RecordedRequest> recorded;

    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(Impl& owner, asio::ip::tcp::socket s) : impl(owner), stream(std::move(s)) {}
        void start() {
            stream.expires_after(10s);
            http::async_read(stream, buffer, request,
                             [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
        }
        void on_read(beast::error_code ec) {
            if (ec) return;
            RecordedRequest r;
            r.method = std::string(request.method_string());
            r.target = std::string(request.target());
            r.decoded = percent_decode(r.target);
            for (const auto& f : request) {
                std::string name(f.name_string());
                for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                r.fields[name] = std::string(f.value());
            }
            r.body = request.body();
            r.when = std::chrono::steady_clock::now();
            Handler h;
            {
                std::lock_guard guard(impl.lock);
                impl.recorded.push_back(r);
                h = impl.handler;
            }
            const FakeReply reply = h ? h(r) : FakeReply{};
            response.version(11);
            response.result(reply.status);
            response.set(http::field::content_type, "application/json");
            response.keep_alive(false);
            response.body() = reply.body;
            response.prepare_payload();
            http::async_write(stream, response, [self = shared_from_this()](beast::error_code, size_t) {
                beast::error_code ignored;
                self->stream.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            });
        }
        Impl& impl;
        beast::tcp_stream stream;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        http::response<http::string_body> response;
    };

    void accept() {
        acceptor.async_accept([this](beast::error_code ec, asio::ip::tcp::socket s) {
            if (ec) return;
            std::make_shared<Connection>(*this, std::move(s))->start();
            accept();
        });
    }
};

FakeRegistry::FakeRegistry(Handler handler) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    const asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(ep.protocol());
    impl_->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(ep);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    impl_->accept();
}

void FakeRegistry::start() {
    if (!impl_->thread.joinable()) impl_->thread = std::thread([this] { impl_->io.run(); });
}

FakeRegistry::~FakeRegistry() {
    impl_->io.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::string FakeRegistry::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void FakeRegistry::set_handler(Handler handler) {
    std::lock_guard guard(impl_->lock);
    impl_->handler = std::move(handler);
}

std::vector<RecordedRequest> FakeRegistry::requests() const {
    std::lock_guard guard(impl_->lock);
    return impl_->recorded;
}

std::vector<RecordedRequest> FakeRegistry::requests(const std::string& method, const std::string& prefix) const {
    std::vector<RecordedRequest> out;
    for (auto& r : requests())
        if (r.method == method && r.decoded.rfind(prefix, 0) == 0) out.push_back(std::move(r));
    return out;
}

bool FakeRegistry::wait_requests(const std::string& method, const std::string& prefix, size_t n,
                                 std::chrono::milliseconds deadline) const {
    return wait_for([&] { return requests(method, prefix).size() >= n; }, deadline);
}

}  // namespace testsupport
