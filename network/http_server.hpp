#pragma once
// One HTTP/1.1 server connection over a transport (TcpSession or TlsSession): reads
// exactly one request (header up to 32768 bytes and within the 16384-byte read buffer,
// body up to 1 MiB), hands its fields to `on_header` and the request to `on_request`,
// writes one answer and shuts the connection down (over plain TCP the socket is closed as
// soon as the answer is written). The whole exchange has 15 seconds (for TLS from the end
// of the handshake); then `on_timeout` may answer (a 504, say).
//
// Answers: the first `respond` or `send_file` wins and is written in full; any later
// one is refused (returns false) and never touches the answer being written. `respond`
// may be called from any thread; the write itself runs on the connection's strand, as
// every other completion of the connection does.
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include <boost/beast/http.hpp>
#include <boost/utility/string_view.hpp>
#include <nlohmann/json.hpp>

#include "network/namespaces.hpp"
#include "network/tcp_session.hpp"
#include "network/timer.hpp"
#include "network/tls_session.hpp"

namespace framework {

template <class S>
class HttpServerT : public S {
public:
    using error_code = boost::system::error_code;
    using body_type = http::basic_dynamic_body<beast::basic_multi_buffer<std::allocator<char>>>;
    using parser_type = http::parser<true, body_type>;
    using response_type = http::message<false, body_type, http::basic_fields<std::allocator<char>>>;

    static constexpr std::chrono::seconds kTimeLimit{15};
    // How long an answer may still take once the time limit has passed.
    static constexpr std::chrono::seconds kWriteGrace{5};
    static constexpr std::uint32_t kHeaderLimit = 32768;
    static constexpr std::uint64_t kBodyLimit = 1048576;
    static constexpr std::int64_t kFileLimit = 262144;  // send_file serves smaller files only

    template <class... Args>
    explicit HttpServerT(Args&&... args)
        : S(std::forward<Args>(args)...), timer(this->get_context()) {}
    ~HttpServerT() override = default;

    // Sends the message unchanged but for its length fields.
    bool respond(response_type&& message);
    // HTTP/1.1, no keep-alive: Content-Type (or "text/plain"), Cache-Control "no-store",
    // Connection "close", Content-Length.
    bool respond(http::status status, std::string_view body, boost::string_view content_type);
    // The compact dump ("{}" for null) as "application/json".
    bool respond(http::status status, const nlohmann::json& value);
    // 503 {"error": what()}.
    bool respond(const std::exception& error);
    // 200 with the bytes of a file below 256 KiB; otherwise 503 and false.
    bool send_file(std::string_view path, boost::string_view content_type);

    bool on_connect(error_code& ec) override;
    bool on_read(error_code& ec, const net::const_buffer& data) override;
    // Cancels the timer and shuts the transport down; while an answer is being written
    // the shutdown waits for the write's completion.
    void shutdown(error_code ec) override;

    std::shared_ptr<HttpServerT> shared_from_this() {
        return std::static_pointer_cast<HttpServerT>(S::shared_from_this());
    }

protected:
    virtual void on_header(boost::string_view name, boost::string_view value) {}
    virtual void on_request(parser_type& parser) = 0;
    virtual void on_timeout() {}
    // The answer has been claimed and is about to be written (the client may have it before
    // `respond` returns): `own` for an answer made here, false for a relayed message.
    virtual void on_answer(http::status status, bool own) {}
    // An answer has been made (by this connection or its time limit); on the strand.
    bool is_answered() const { return answer.has_value(); }

    std::optional<parser_type> parser;
    std::optional<response_type> answer;
    Timer timer;

private:
    bool claim_answer() { return !answered_.exchange(true); }
    // Claims the answer, lets `build` fill in `answer`, sets its length fields, tells
    // `on_answer` and writes it; a `build` that throws gives the claim back.
    template <class Build>
    bool answer_with(bool own, Build&& build);
    void write_answer();
    void start_write();
    void on_write(error_code ec);
    void dispatch_request();
    void arm(std::chrono::seconds limit);
    void disarm();
    void on_timer();

    using serializer_type = http::serializer<false, body_type, http::basic_fields<std::allocator<char>>>;

    std::atomic<bool> answered_{false};  // an answer was claimed (by any thread)
    std::optional<serializer_type> serializer_;  // the answer being written, on the strand
    // The rest is touched on the strand only.
    bool dispatched_ = false;            // the request went to the hooks
    bool written_ = false;               // the claimed answer's write has completed
    bool expired_ = false;               // the time limit has passed
    bool finished_ = false;              // the transport was shut down
    std::uint64_t timer_generation_ = 0; // a queued timer handler of an older start is ignored
    error_code pending_error_;           // a shutdown cause kept until the write completes
};

extern template class HttpServerT<TcpSession>;
extern template class HttpServerT<TlsSession>;

}  // namespace framework
