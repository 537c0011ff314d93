#include "support/late_upstream.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "support/test_support.hpp"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

uint16_t remote_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

}  // namespace

LateUpstream::LateUpstream(std::chrono::milliseconds release_after,
                           std::chrono::milliseconds answer_after, std::string answer)
    : release_after_(release_after), answer_after_(answer_after), answer_(std::move(answer)) {
    FilledListener listener = listen_with_full_queue(SOCK_NONBLOCK);
    listen_fd_ = listener.fd;
    port_ = listener.port;
    fillers_ = std::move(listener.fillers);
    // Their connections, once taken from the queue, are dropped unread.
    for (const int fd : fillers_) filler_ports_.push_back(local_port(fd));
}

LateUpstream::~LateUpstream() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : fillers_) ::close(fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string LateUpstream::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LateUpstream::received() const {
    std::lock_guard guard(mutex_);
    return received_;
}

void LateUpstream::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void LateUpstream::run() {
    // Every wait below is sliced so that the destructor never waits long.
    auto sleep_until = [this](Clock::time_point end) {
        while (!stop_ && Clock::now() < end) std::this_thread::sleep_for(20ms);
        return !stop_.load();
    };
    if (!sleep_until(Clock::now() + release_after_)) return;

    // Release: the pending filler gives up its SYN, the queued ones are taken and dropped.
    for (int& fd : fillers_) {
        ::close(fd);
        fd = -1;
    }
    fillers_.clear();
    const auto accept_end = Clock::now() + 30s;
    int conn = -1;
    while (conn < 0 && !stop_ && Clock::now() < accept_end) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (std::find(filler_ports_.begin(), filler_ports_.end(), remote_port(fd)) != filler_ports_.end()) {
            ::close(fd);
            continue;
        }
        conn = fd;
    }
    if (conn < 0) return;
    accepted_ = true;

    const auto read_end = Clock::now() + 10s;
    std::string got;
    while (got.find("\r\n\r\n") == std::string::npos && !stop_ && Clock::now() < read_end) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(conn, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        std::lock_guard guard(mutex_);
        received_ = got;
    }
    if (sleep_until(Clock::now() + answer_after_)) {
        std::size_t sent = 0;
        while (sent < answer_.size()) {
            const ssize_t n = ::send(conn, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        answered_ = sent == answer_.size();
        ::shutdown(conn, SHUT_WR);
        // Wait (bounded) for the other side to close, so the FIN is not turned into a reset.
        const auto close_end = Clock::now() + 3s;
        while (!stop_ && Clock::now() < close_end) {
            pollfd p{conn, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            if (::read(conn, buf, sizeof buf) <= 0) break;
        }
    }
    ::close(conn);
}

}  // namespace testsupport
