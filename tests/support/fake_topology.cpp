#include "support/fake_topology.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr auto kSlice = 50ms;          // how often blocked waits look at the stop flag
constexpr auto kRequestTime = 10s;     // a request must be read within this
constexpr auto kDrainTime = 2s;        // after the answer, how long to wait for the peer's close
constexpr size_t kMaxRequest = 1 << 20;

const char* reason_of(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// 1 readable, 0 timed out or stopped, -1 error.
int wait_readable(int fd, FakeTopology::Clock::time_point end, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        const auto now = FakeTopology::Clock::now();
        if (now >= end) return 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<std::chrono::milliseconds>(left, kSlice).count()) + 1);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
    return 0;
}

size_t content_length(const std::string& header) {
    std::string lower(header);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

bool write_all(int fd, const std::string& data) {
    size_t off = 0;
    const auto end = FakeTopology::Clock::now() + 5s;
    while (off < data.size() && FakeTopology::Clock::now() < end) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        } else {
            return false;
        }
    }
    return off == data.size();
}

}  // namespace

const char* const FakeTopology::kFilter = R"([{"components":[{"filter":{".className":"FIELD","set":{
    ".path":".nodePath",".parent":".parentCode",".slave":"reserveNode/nodePath",
    ".weight":".loadPercent",".mode":".currentMode",".type":".type",
    ".timestamp":".lastSwitchTime"}}}]}])";

nlohmann::json FakeTopology::component(const std::string& path, const std::string& mode,
                                       const std::string& parent, unsigned weight,
                                       const std::string& slave) {
    return {{"className", "FIELD"},  {"nodePath", path},
            {"parentCode", parent},  {"reserveNode", {{"nodePath", slave}}},
            {"loadPercent", weight}, {"currentMode", mode},
            {"type", "ACTIVE"},      {"lastSwitchTime", nullptr}};
}

nlohmann::json FakeTopology::envelope(const std::vector<nlohmann::json>& components) {
    return {{"success", true}, {"body", {{"components", components}}}};
}

FakeTopology::FakeTopology() : body_(envelope({}).dump()) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        const std::string text = std::strerror(errno);
        ::close(listen_fd_);
        throw std::runtime_error("fake topology: " + text);
    }
    port_ = ntohs(sa.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

FakeTopology::~FakeTopology() { stop(); }

std::string FakeTopology::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeTopology::set_document(const nlohmann::json& document) { set_answer(200, document.dump()); }

void FakeTopology::set_answer(int status, std::string body) {
    std::lock_guard guard(mutex_);
    status_ = status;
    body_ = std::move(body);
}

void FakeTopology::set_failing(bool failing) {
    std::lock_guard guard(mutex_);
    failing_ = failing;
}

void FakeTopology::set_delay(std::chrono::milliseconds delay) {
    std::lock_guard guard(mutex_);
    delay_ = delay;
}

size_t FakeTopology::polls() const {
    std::lock_guard guard(mutex_);
    return polls_.size();
}

std::vector<FakeTopology::Poll> FakeTopology::get_polls() const {
    std::lock_guard guard(mutex_);
    return polls_;
}

size_t FakeTopology::answered() const {
    std::lock_guard guard(mutex_);
    return answered_;
}

size_t FakeTopology::max_open() const {
    std::lock_guard guard(mutex_);
    return max_open_;
}

bool FakeTopology::wait_polls(size_t n, std::chrono::milliseconds deadline) const {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (polls() >= n) return true;
        std::this_thread::sleep_for(5ms);
    }
    return polls() >= n;
}

bool FakeTopology::wait_answered(size_t n, std::chrono::milliseconds deadline) const {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (answered() >= n) return true;
        std::this_thread::sleep_for(5ms);
    }
    return answered() >= n;
}

void FakeTopology::stop() {
    {
        std::lock_guard guard(mutex_);
        if (stop_.exchange(true)) return;
    }
    stop_cv_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    // The acceptor has ended: nobody adds workers any more.
    for (auto& t : workers_)
        if (t.joinable()) t.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void FakeTopology::accept_loop() {
    while (!stop_.load()) {
        if (wait_readable(listen_fd_, Clock::now() + kSlice, stop_) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard guard(mutex_);
        max_open_ = std::max(max_open_, ++open_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void FakeTopology::serve(int fd) {
    std::string received;
    const auto end = Clock::now() + kRequestTime;
    size_t header_end = std::string::npos;
    bool complete = false;
    char buf[4096];
    while (!complete && received.size() < kMaxRequest) {
        if (wait_readable(fd, end, stop_) <= 0) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        received.append(buf, static_cast<size_t>(n));
        if (header_end == std::string::npos) header_end = received.find("\r\n\r\n");
        if (header_end != std::string::npos)
            complete = received.size() >= header_end + 4 + content_length(received.substr(0, header_end));
    }

    if (complete) {
        Poll poll;
        poll.header = received.substr(0, header_end);
        poll.body = received.substr(header_end + 4);
        const auto line_end = poll.header.find("\r\n");
        const std::string line = poll.header.substr(0, line_end);
        const auto sp1 = line.find(' ');
        const auto sp2 = line.find(' ', sp1 + 1);
        poll.method = line.substr(0, sp1);
        poll.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        poll.received = Clock::now();

        std::unique_lock guard(mutex_);
        polls_.push_back(poll);
        const size_t index = polls_.size() - 1;
        stop_cv_.wait_for(guard, delay_, [this] { return stop_.load(); });
        const int status = failing_ ? 503 : status_;
        const std::string body = failing_ ? std::string() : body_;
        guard.unlock();

        std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
                             "\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        if (!stop_.load()) write_all(fd, answer);
        ::shutdown(fd, SHUT_WR);
        guard.lock();
        polls_[index].answered = Clock::now();
        ++answered_;
        guard.unlock();
        // Reads on until the client closes, so that unread bytes never turn our close into
        // a reset.
        const auto drain_end = Clock::now() + kDrainTime;
        while (wait_readable(fd, drain_end, stop_) > 0) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) break;
        }
    }
    ::close(fd);
    std::lock_guard guard(mutex_);
    --open_;
}

}  // namespace testsupport
