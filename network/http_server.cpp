#include "network/http_server.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/file.hpp"
#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {
namespace {

// Writes as much of a serialized message as the socket takes without waiting. True when it
// is finished: all written, or failed (`ec` set); false when the socket's buffer is full and
// the rest must wait for the socket.
template <class Serializer>
bool write_now(net::ip::tcp::socket& socket, Serializer& sr, boost::system::error_code& ec) {
    while (!sr.is_done()) {
        std::size_t sent = 0;
        bool full = false;
        sr.next(ec, [&](boost::system::error_code& next_ec, const auto& buffers) {
            iovec iov[detail::kMaxSendBuffers];
            std::size_t count = 0;
            std::size_t total = 0;
            detail::add_buffers(buffers, iov, count, total);  // the first pieces, when more
            const ssize_t n = send_nonblocking(socket.native_handle(), iov, count);
            if (n >= 0)
                sent = static_cast<std::size_t>(n);
            else if (errno == EAGAIN || errno == EWOULDBLOCK)
                full = true;
            else
                next_ec.assign(errno, boost::system::system_category());
        });
        if (ec) return true;
        if (sent > 0) sr.consume(sent);
        if (full || sent == 0) return false;
    }
    return true;
}

// The length fields already say what prepare_payload would set (a relayed answer whose
// fields the client made so): one Content-Length of the body's size and no Transfer-Encoding,
// on a status that has a body. Setting them again would only allocate a new field.
template <class Message>
bool length_fields_match(const Message& message) {
    const unsigned status = message.result_int();
    if (status / 100 == 1 || status == 204 || status == 304) return false;
    if (message.find(http::field::transfer_encoding) != message.end()) return false;
    const auto [first, last] = message.equal_range(http::field::content_length);
    if (first == last || std::next(first) != last) return false;
    const auto value = first->value();
    const std::string size = std::to_string(message.body().size());
    return std::string_view(value.data(), value.size()) == size;
}

}  // namespace

template <class S>
bool HttpServerT<S>::on_connect(error_code& ec) {
    if (ec) return false;
    if constexpr (!std::is_same_v<S, TcpSession>) {
        // A plain answer switches Nagle's algorithm off only when it cannot go out at once
        // (start_write); a TLS connection writes its handshake in several steps.
        error_code ignored;
        beast::get_lowest_layer(this->stream).set_option(net::ip::tcp::no_delay(true), ignored);
    }
    parser.emplace();
    parser->eager(true);
    parser->header_limit(kHeaderLimit);
    parser->body_limit(kBodyLimit);
    arm(kTimeLimit);
    return true;
}

template <class S>
void HttpServerT<S>::arm(std::chrono::seconds limit) {
    const std::uint64_t generation = ++timer_generation_;
    timer.start(limit, [self = shared_from_this(), generation](error_code) {
        // The timer has no strand: hop onto ours, and drop a start that was replaced
        // or cancelled while this handler was on its way.
        net::dispatch(self->strand, [self, generation] {
            if (generation == self->timer_generation_) self->on_timer();
        });
    });
}

template <class S>
void HttpServerT<S>::disarm() {
    ++timer_generation_;
    timer.cancel();
}

template <class S>
void HttpServerT<S>::on_timer() {
    if (finished_ && written_) return;
    if (expired_) {
        // The answer did not get out within the grace period: abort its write.
        error_code ignored;
        beast::get_lowest_layer(this->stream).cancel(ignored);
        return;
    }
    expired_ = true;
    if (!answered_.load()) {
        try {
            on_timeout();
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "%s: %s", this->name, e.what());
        } catch (...) {
            Syslog::log(Syslog::kError, "%s: unknown error", this->name);
        }
    }
    shutdown(net::error::timed_out);
}

template <class S>
void HttpServerT<S>::shutdown(error_code ec) {
    if (answered_.load() && !written_) {
        // The answer (maybe the one on_timeout just started) is written in full first;
        // its completion shuts the connection down.
        if (ec && !pending_error_) pending_error_ = ec;
        if (expired_) arm(kWriteGrace);
        return;
    }
    disarm();
    finished_ = true;
    S::shutdown(ec);
}

template <class S>
bool HttpServerT<S>::on_read(error_code& ec, const net::const_buffer&) {
    if (ec) return false;
    auto& buffer = this->buffer;
    if (dispatched_ || !parser) {
        // Bytes after the complete request (a pipelined one, stray bytes) are dropped.
        buffer.consume(buffer.size());
        return true;
    }
    while (buffer.size() > 0 && !parser->is_done()) {
        const std::size_t used = parser->put(buffer.data(), ec);
        buffer.consume(used);
        if (ec || used == 0) break;
    }
    if (ec == http::error::need_more) {
        ec = {};
        return true;
    }
    if (ec) {
        if (Syslog::get_log_level() >= Syslog::kError) Syslog::log(Syslog::kError, "%s: %s", this->name, ec.message().c_str());
        return false;
    }
    if (!parser->is_done()) return true;
    dispatched_ = true;
    buffer.consume(buffer.size());
    dispatch_request();
    return true;
}

template <class S>
void HttpServerT<S>::dispatch_request() {
    try {
        auto& request = parser->get();
        for (const auto& field : request) on_header(field.name_string(), field.value());
        if (Syslog::get_log_level() >= Syslog::kInfo) {
            const auto method = request.method_string();
            const auto target = request.target();
            Syslog::log(Syslog::kInfo, "%s: %.*s %.*s HTTP/%.1f", this->name, static_cast<int>(method.size()),
                        method.data(), static_cast<int>(target.size()), target.data(),
                        request.version() / 10.0);
        }
        if (Syslog::get_log_level() >= Syslog::kDebug5 && request.body().size() > 0) {
            const std::string body = beast::buffers_to_string(request.body().data());
            Syslog::log(Syslog::kDebug5, "%s: <<< %s", this->name, body.c_str());
        }
        on_request(*parser);
    } catch (const std::exception& e) {
        Syslog::log(Syslog::kError, "%s: %s", this->name, e.what());
        try {
            respond(e);
        } catch (...) {
            respond(http::status::service_unavailable, {}, {});
        }
    } catch (...) {
        Syslog::log(Syslog::kError, "%s: unknown error", this->name);
        respond(http::status::service_unavailable, {}, {});
    }
}

template <class S>
template <class Build>
bool HttpServerT<S>::answer_with(bool own, Build&& build) {
    if (!claim_answer()) return false;
    try {
        build();
        if (!length_fields_match(*answer)) answer->prepare_payload();
        on_answer(answer->result(), own);
    } catch (...) {
        answered_ = false;  // nothing was written: a later answer may still go out
        throw;
    }
    write_answer();
    return true;
}

template <class S>
bool HttpServerT<S>::respond(response_type&& message) {
    return answer_with(false, [&] {
        if (!answer || &message != &*answer) answer.emplace(std::move(message));
    });
}

template <class S>
bool HttpServerT<S>::respond(http::status status, std::string_view body,
                             boost::string_view content_type) {
    return answer_with(true, [&] {
        answer.emplace();
        answer->version(11);
        answer->result(status);
        answer->set(http::field::content_type,
                    content_type.empty() ? boost::string_view("text/plain") : content_type);
        if (!body.empty()) {
            auto space = answer->body().prepare(body.size());
            net::buffer_copy(space, net::buffer(body.data(), body.size()));
            answer->body().commit(body.size());
        }
        answer->set(http::field::cache_control, "no-store");
        answer->set(http::field::connection, "close");
    });
}

template <class S>
bool HttpServerT<S>::respond(http::status status, const nlohmann::json& value) {
    if (answered_.load()) return false;
    const std::string body = value.is_null() ? std::string("{}") : value.dump();
    return respond(status, body, "application/json");
}

template <class S>
bool HttpServerT<S>::respond(const std::exception& error) {
    nlohmann::json object = nlohmann::json::object();
    object["error"] = error.what();
    if (answered_.load()) return false;
    // An error text that is not UTF-8 must not stop the error answer itself.
    const std::string body = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return respond(http::status::service_unavailable, body, "application/json");
}

template <class S>
bool HttpServerT<S>::send_file(std::string_view path, boost::string_view content_type) {
    File file;
    if (file.open(path, O_RDONLY | O_CLOEXEC, 0644)) {
        const std::int64_t size = file.get_size();
        if (size > 0 && size < kFileLimit) {
            if (const auto bytes = file.mmap(PROT_READ, MAP_PRIVATE)) {
                Syslog::log(Syslog::kDebug, "%s: sending file: %.*s, %zu byte(s)", this->name,
                            static_cast<int>(path.size()), path.data(), bytes->size());
                return respond(http::status::ok, *bytes, content_type);
            }
        }
    }
    respond(http::status::service_unavailable, {}, {});
    return false;
}

template <class S>
void HttpServerT<S>::write_answer() {
    net::dispatch(this->strand, [self = shared_from_this()] { self->start_write(); });
}

template <class S>
void HttpServerT<S>::start_write() {
    if (this->closing) {
        // The transport can carry nothing more (a TLS connection already closing).
        written_ = true;
        return;
    }
    if (finished_) {
        // The read side ended before the answer came (a client that half-closed):
        // the answer still goes out, within a bound of its own.
        expired_ = true;
        arm(kWriteGrace);
    }
    if constexpr (std::is_same_v<S, TcpSession>) {
        // Most answers fit the socket's buffer: written here and now, the connection closes
        // in the same step instead of one turn of the loop later. All of it is then with the
        // socket, and the close that follows pushes out its last segment, whatever Nagle's
        // algorithm held back.
        error_code ec;
        std::size_t sent = 0;
        const bool whole = !answer->chunked();
        if (whole && send_message_now(this->stream, *answer, sent, ec)) {
            on_write(ec);
            return;
        }
        serializer_.emplace(*answer);
        // What the socket did not take, or an answer the serializer must frame, goes through
        // the serializer from where the direct send stopped.
        if (whole) {
            skip_sent(*serializer_, sent, ec);
            if (ec) {
                on_write(ec);
                return;
            }
        } else if (write_now(this->stream, *serializer_, ec)) {
            on_write(ec);
            return;
        }
        // The rest goes out in pieces as the peer acknowledges: none may wait for an ACK.
        error_code ignored;
        this->stream.set_option(net::ip::tcp::no_delay(true), ignored);
    } else {
        serializer_.emplace(*answer);
    }
    http::async_write(this->stream, *serializer_,
                      net::bind_executor(this->strand, [self = shared_from_this()](
                                                           error_code ec, std::size_t) {
                          self->on_write(ec);
                      }));
}

template <class S>
void HttpServerT<S>::on_write(error_code ec) {
    written_ = true;
    if (!ec) ec = pending_error_;
    disarm();
    finished_ = true;
    if constexpr (std::is_same_v<S, TcpSession>) {
        // Nothing more goes out and nothing more is read: the socket closes at once, so the
        // FIN follows the answer and the closed connection's TIME-WAIT stays on this side
        // instead of on the client's (a client that opens connection after connection pays
        // for those). The pending read ends as aborted.
        this->log_failure(ec);
        this->close();
    } else {
        S::shutdown(ec);  // TLS closes through its closing handshake
    }
}

template class HttpServerT<TcpSession>;
template class HttpServerT<TlsSession>;

}  // namespace framework
