#include "common/syslog.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/strings.hpp"

namespace framework {
namespace {

// A daemon started with 0-2 closed would otherwise get its log socket or log file on
// one of them, and a later redirect of the standard streams would close it.
void open_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null_fd = ::open("/dev/null", O_RDWR);  // takes the lowest free slot: fd
            if (null_fd > 2) ::close(null_fd);
        }
    }
}

int make_log_socket() noexcept {
    open_standard_descriptors();
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

void write_to_syslog(int priority, const char* message) { ::syslog(priority, "%s", message); }

// The host name, looked up once per thread; retried while the look-up fails.
const char* host_name() noexcept {
    thread_local char hostname[65] = {};
    if (hostname[0] == '\0') {
        if (::gethostname(hostname, 64) != 0) hostname[0] = '\0';
        hostname[64] = '\0';
    }
    return hostname;
}

constexpr size_t kPrefixMax = 512;  // time stamp, host, tag and pid of a file line

bool is_control(unsigned char c) noexcept { return c < 0x20 || c == 0x7f; }

bool has_control(const char* text, size_t length) noexcept {
    for (size_t i = 0; i < length; ++i)
        if (is_control(static_cast<unsigned char>(text[i]))) return true;
    return false;
}

// Copies `text` into `out` (room for `capacity` bytes, terminator included) with every
// control byte written as \n, \r, \t or \xHH. An escape that does not fit whole is left
// out with everything after it. Returns the length written.
size_t escape_controls(const char* text, size_t length, char* out, size_t capacity) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escape[4];
        size_t width = 1;
        if (!is_control(c)) {
            escape[0] = static_cast<char>(c);
        } else if (c == '\n' || c == '\r' || c == '\t') {
            escape[0] = '\\';
            escape[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
            width = 2;
        } else {
            escape[0] = '\\';
            escape[1] = 'x';
            escape[2] = kHex[c >> 4];
            escape[3] = kHex[c & 0xf];
            width = 4;
        }
        if (n + width >= capacity) break;
        std::memcpy(out + n, escape, width);
        n += width;
    }
    out[n] = '\0';
    return n;
}

}  // namespace

int Syslog::socket_ = make_log_socket();
Syslog::SystemLog Syslog::system_log_ = &write_to_syslog;

Syslog::Syslog(std::string_view ident, int options) {
    options_ = options;
    if (!ident.empty()) {
        ::closelog();
        tag_ = ident;
        ::openlog(tag_.c_str(), options_, LOG_USER);
    }
    static const bool registered = [] { return std::atexit(&Syslog::close_sinks) == 0; }();
    (void)registered;
}

void Syslog::close_sinks() noexcept {
    endpoint_.reset();
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    file_.close();
}

void Syslog::set_tag(std::string_view name) {
    if (name.empty()) return;
    ::closelog();  // openlog keeps the pointer, so let go of it before tag_ changes
    tag_ = name;
    ::openlog(tag_.c_str(), options_, LOG_USER);
}

void Syslog::set_log_level(std::string_view name) {
    int level = 4;
    if (!name.empty()) {
        for (const LogLevelName& entry : log_map) {
            if (iequals(entry.name, name)) {
                level = std::max(entry.level, 4);
                break;
            }
        }
    }
    log_level_.store(level, std::memory_order_relaxed);
    const char* reported = "warning";
    for (const LogLevelName& entry : log_map) {
        if (entry.level == level) {
            reported = entry.name.data();
            break;
        }
    }
    log(kWarning, "log level: %s", reported);
}

void Syslog::redirect_to_system_log() {
    file_.close();
    file_failed_.store(false, std::memory_order_relaxed);
    endpoint_.reset();
}

void Syslog::redirect(const sockaddr_in& endpoint) {
    redirect_to_system_log();
    if (socket_ >= 0) endpoint_ = endpoint;
}

void Syslog::redirect(std::string_view path) {
    redirect_to_system_log();
    if (path.empty()) {
        if (file_.dup(STDERR_FILENO)) {
            // Appending keeps lines of several processes that share the stream whole.
            const int flags = ::fcntl(file_.get_fd(), F_GETFL);
            if (flags != -1) ::fcntl(file_.get_fd(), F_SETFL, flags | O_APPEND);
        }
        return;
    }
    file_.open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
}

char* Syslog::message_buffer() noexcept {
    thread_local char msg[kMessageSize];
    return msg;
}

std::string_view Syslog::pack_rfc5424(int level, long time, std::string_view host,
                                      std::string_view message) {
    thread_local std::string pkt = [] {
        std::string s;
        s.reserve(kMessageSize);
        return s;
    }();
    thread_local char ts[28] = {};
    thread_local long prev_time = -1;
    thread_local char procid[16] = {};
    thread_local pid_t procid_pid = -1;

    pkt.clear();
    char prio[8];
    const int prio_len = std::snprintf(prio, sizeof(prio), "<%d>1 ", 8 + std::min(level, 7));
    pkt.append(prio, static_cast<size_t>(prio_len));

    if (time != prev_time || ts[0] == '\0') {
        const time_t t = static_cast<time_t>(time);
        struct tm tm {};
        char buf[28];
        // 2024-03-05T14:07:09+0100 becomes 2024-03-05T14:07:09+01:00 and a blank
        if (::localtime_r(&t, &tm) != nullptr &&
            std::strftime(buf, sizeof(buf), "%Y-%m-%dT%T%z", &tm) == 24) {
            std::memcpy(ts, buf, 22);
            ts[22] = ':';
            ts[23] = buf[22];
            ts[24] = buf[23];
            ts[25] = ' ';
            ts[26] = '\0';
            prev_time = time;
            pkt.append(ts);
        } else {
            pkt.append("- ");
        }
    } else {
        pkt.append(ts);
    }

    if (host.empty())
        pkt.append("-");
    else
        pkt.append(host);
    pkt.append(" ");
    pkt.append(tag_);
    pkt.append(" ");

    // A forked child must not send its parent's id.
    const pid_t pid = ::getpid();
    if (pid != procid_pid) {
        std::snprintf(procid, sizeof(procid), "%d", static_cast<int>(pid));
        procid_pid = pid;
    }
    pkt.append(procid);
    pkt.append(" - - ");
    pkt.append(message);
    return pkt;
}

void Syslog::write_message(int level, const char* msg, int length) noexcept {
    if (length <= 0) return;  // an empty message is dropped; a formatting error too
    size_t len = std::min(static_cast<size_t>(length), kMessageSize - 1);
    // Arguments carry text from peers, files and children (unit codes, error lines, node
    // paths); a line feed among it would start a forged line in every sink. The formats
    // hold none, so a clean message, the usual case, is only scanned.
    if (has_control(msg, len)) {
        thread_local char escaped[kMessageSize];
        len = escape_controls(msg, len, escaped, kMessageSize);
        msg = escaped;
    }
    const int priority = std::min(level, 7);

    const bool to_file = file_.is_open() && !file_failed_.load(std::memory_order_relaxed);
    if (!to_file && !endpoint_) {
        system_log_(priority, msg);
        return;
    }

    const time_t now = std::time(nullptr);
    const char* host = host_name();

    if (!to_file) {
        try {
            const std::string_view pkt = pack_rfc5424(level, now, host, {msg, len});
            ::sendto(socket_, pkt.data(), pkt.size(), 0,
                     reinterpret_cast<const sockaddr*>(&*endpoint_), sizeof(sockaddr_in));
        } catch (...) {
            // out of memory for the packet: the line is lost like an unsendable datagram
        }
        return;
    }

    thread_local char ts[24] = {};
    thread_local time_t prev_time = -1;
    if (now != prev_time) {
        ts[0] = '\0';
        struct tm tm {};
        if (::localtime_r(&now, &tm) != nullptr &&
            std::strftime(ts, sizeof(ts), "%b %d %H:%M:%S", &tm) != 0)
            prev_time = now;
        else
            ts[0] = '\0';
    }

    // The whole line goes out in one write() on an O_APPEND descriptor, so lines of
    // several threads and processes never interleave and nothing waits in a buffer.
    thread_local char line[kPrefixMax + kMessageSize];
    int prefix = std::snprintf(line, kPrefixMax, "%s %s %s[%d]: ", ts, host, tag_.c_str(),
                               static_cast<int>(::getpid()));
    if (prefix < 0) prefix = 0;
    if (static_cast<size_t>(prefix) >= kPrefixMax) prefix = kPrefixMax - 1;  // a huge tag
    std::memcpy(line + prefix, msg, len);
    line[prefix + len] = '\n';
    if (!file_.write(line, static_cast<size_t>(prefix) + len + 1)) {
        // The file is not closed here: other threads may be writing to its descriptor.
        // It is closed at the next redirect; until then the system log takes the lines,
        // this one included.
        file_failed_.store(true, std::memory_order_relaxed);
        system_log_(priority, msg);
    }
}

}  // namespace framework
