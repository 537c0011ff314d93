#include "network/session.hpp"

#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>

#include "common/syslog.hpp"
#include "network/nonblocking_socket.hpp"

namespace framework {
namespace {

// Live sessions of one transport from which on a burst's memory is worth giving back.
constexpr std::size_t kBurst = 16;

std::atomic<bool> burst_since_trim{false};
std::atomic<std::int64_t> last_trim_ms{std::numeric_limits<std::int64_t>::min() / 2};

// A burst of connections leaves its buffers free but resident in the allocator's
// per-thread arenas. Once no connection is left they go back to the system: only after a
// burst, and at most once a second, since a trim walks (and locks) every arena in turn.
void on_no_session_left() {
    if (!burst_since_trim.load(std::memory_order_relaxed)) return;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::int64_t last = last_trim_ms.load(std::memory_order_relaxed);
    if (now - last < 1000 || !last_trim_ms.compare_exchange_strong(last, now)) return;
    burst_since_trim.store(false, std::memory_order_relaxed);
    ::malloc_trim(0);
}

}  // namespace

void note_live_sessions(std::size_t live) {
    if (live >= kBurst && !burst_since_trim.load(std::memory_order_relaxed))
        burst_since_trim.store(true, std::memory_order_relaxed);
}

void release_memory_when_idle() {
    if (Session<TcpStream, net::ip::tcp::endpoint>::count_ == 0 &&
        Session<TlsStream, net::ip::tcp::endpoint>::count_ == 0)
        on_no_session_left();
}

template <class Stream, class Endpoint>
Session<Stream, Endpoint>::~Session() {
    Syslog::log(Syslog::kDebug, "~%s", name);
    if (--count_ == 0) release_memory_when_idle();
    error_code ignored;
    auto& socket = beast::get_lowest_layer(stream);
    if (socket.is_open()) socket.close(ignored);
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::log_failure(const error_code& ec) const {
    if (!ec || ec == net::error::eof || ec == net::error::operation_aborted) return;
    if (Syslog::get_log_level() < Syslog::kError) return;
    Syslog::log(Syslog::kError, "%s: %s", name, ec.message().c_str());
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::on_connect_impl(error_code ec) {
    buffer.clear();
    if (on_connect(ec))
        read_impl(buffer.prepare(kBufferSize));
    else
        shutdown(ec);
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::on_read_impl(error_code ec, std::size_t n) {
    buffer.commit(n);
    const bool failed = static_cast<bool>(ec);
    if (!on_read(ec, buffer.data()) || failed) {
        // A failed read always ends the loop: reading again would only fail again.
        shutdown(ec);
        return;
    }
    // A hook that answered and closed the socket at once (a short answer written in full)
    // ends the loop here: a read on the closed socket could only fail.
    if (!beast::get_lowest_layer(stream).is_open()) return;
    const std::size_t space = buffer.max_size() - buffer.size();
    if (space == 0) {
        // The hook keeps a full buffer and waits for more: nothing more can ever fit
        // (an HTTP header longer than the buffer). End now instead of reading nothing.
        ec = http::error::header_limit;
        on_read(ec, buffer.data());
        shutdown(ec);
        return;
    }
    read_impl(buffer.prepare(space));  // moves unconsumed bytes to the front when needed
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::read_impl(const net::mutable_buffer& space) {
    if constexpr (std::is_same_v<Stream, TcpStream>) {
        // Inline, the hooks run on the caller's thread: only where that is the strand.
        if (read_now && strand.running_in_this_thread()) {
            read_now = false;
            std::size_t n = 0;
            error_code ec;
            if (receive_now(stream, space, n, ec)) {
                on_read_impl(ec, n);
                return;
            }
        }
    }
    stream.async_read_some(space, net::bind_executor(strand, [self = this->shared_from_this()](
                                                                 error_code ec, std::size_t n) {
        self->on_read_impl(ec, n);
    }));
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::write_impl(const net::const_buffer& data) {
    net::async_write(stream, data,
                     net::bind_executor(strand, [self = this->shared_from_this()](
                                                    error_code ec, std::size_t n) {
                         self->on_write_impl(ec, n);
                     }));
}

template <class Stream, class Endpoint>
void Session<Stream, Endpoint>::on_write_impl(error_code ec, std::size_t) {
    if (ec && ec != net::error::operation_aborted && Syslog::get_log_level() >= Syslog::kError)
        Syslog::log(Syslog::kError, "%s: write: %s", name, ec.message().c_str());
}

template class Session<TcpStream, net::ip::tcp::endpoint>;
template class Session<TlsStream, net::ip::tcp::endpoint>;

net::io_context& context_of(net::ip::tcp::socket& socket) {
    return static_cast<net::io_context&>(
        net::query(socket.get_executor(), net::execution::context));
}

}  // namespace framework
