#pragma once
// framework::Syslog: the process-wide logger. Static members only; the master derives
// from it so that its constructor sets the ident.
//
// A line passes when its level is not above the threshold (never below 4) and goes to
// exactly one sink: the system log (default), a file or standard error
// ("%s %s %s[%d]: %.*s\n" lines, each one write() on an O_APPEND descriptor), or
// RFC 5424 datagrams over UDP. Control bytes of a message (its arguments carry text
// from peers) are written as \n, \r, \t or \xHH in every sink, so one call is one line;
// messages are cut to 16383 bytes, escapes included, never inside one. Formatting uses
// thread-local buffers and takes no lock; the sink and the threshold are changed only
// by redirect/set_log_level/set_tag, which run while the process has one thread.
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/file.hpp"

namespace framework {

struct LogLevelName {
    std::string_view name;  // always a terminated literal
    int level;
};

inline constexpr LogLevelName log_map[] = {
    {"error", 3},  {"warning", 4}, {"notice", 5}, {"info", 6},   {"debug", 7}, {"debug1", 7},
    {"debug2", 8}, {"debug3", 9},  {"debug4", 10}, {"debug5", 11}, {"all", 11},
};

class Syslog {
public:
    // The levels of `log`: syslog's severities from error to debug, then finer debug levels
    // (the names of log_map). A line at a level above 7 goes to the system log as debug.
    static constexpr int kError = 3;
    static constexpr int kWarning = 4;
    static constexpr int kNotice = 5;
    static constexpr int kInfo = 6;
    static constexpr int kDebug = 7;
    static constexpr int kDebug2 = 8;
    static constexpr int kDebug3 = 9;
    static constexpr int kDebug4 = 10;
    static constexpr int kDebug5 = 11;

    // Stores `options` for openlog; a non-empty `ident` becomes the tag and reopens the
    // system log under it. Registers (once) an exit handler that closes the sinks.
    Syslog(std::string_view ident, int options);
    ~Syslog() = default;

    // An empty name changes nothing; otherwise the tag, and the system log is reopened.
    static void set_tag(std::string_view name);
    static const std::string& get_tag() noexcept { return tag_; }
    // Threshold by name from log_map (ignoring case), at least 4; unknown names give 4.
    // Logs "log level: %s" at level 4.
    static void set_log_level(std::string_view name);
    static int get_log_level() noexcept { return log_level_.load(std::memory_order_relaxed); }
    // The sinks. Which one a configured target names ("" standard error, a udp URL, another
    // URL, a file path) is decided by redirect_log (network/url.hpp), which parses URLs.
    // "" standard error; else a file opened for appending (mode 0644). A file that cannot be
    // opened leaves the system log.
    static void redirect(std::string_view path);
    // Datagrams to `endpoint`; the system log when the datagram socket does not exist.
    static void redirect(const sockaddr_in& endpoint);
    static void redirect_to_system_log();

    // printf-style; the arguments are scalars and C strings. A trailing null pointer
    // follows them, so one conversion too many prints "(null)" rather than garbage.
    // The system log, too, gets the formatted, escaped message (as "%s").
    template <typename... Args>
    static void log(int level, const char* format, Args... args) {
        if (level > log_level_.load(std::memory_order_relaxed)) return;
        char* msg = message_buffer();
        const int n = std::snprintf(msg, kMessageSize, format, pass(args)..., nullptr);
        write_message(level, msg, n);
    }

    // One RFC 5424 datagram in a thread-local buffer, valid until the thread's next call.
    static std::string_view pack_rfc5424(int level, long time, std::string_view host,
                                         std::string_view message);

    // Where system-log lines go: priority (0-7) and the formatted message. Defaults to
    // syslog(3); replaceable so the sink can be observed without a log daemon.
    using SystemLog = void (*)(int priority, const char* message);
    static SystemLog system_log_;

    static constexpr size_t kMessageSize = 16384;  // the message buffer, terminator included

private:
    template <typename T>
    static constexpr auto pass(T value) noexcept {
        if constexpr (std::is_enum_v<T>) {
            return static_cast<std::underlying_type_t<T>>(value);
        } else if constexpr (std::is_same_v<T, float>) {
            return static_cast<double>(value);
        } else {
            static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T> ||
                              std::is_null_pointer_v<T>,
                          "Syslog::log takes scalars and C strings only");
            return value;
        }
    }

    static char* message_buffer() noexcept;
    static void write_message(int level, const char* msg, int length) noexcept;
    static void close_sinks() noexcept;

    static inline std::string tag_;
    static inline int options_ = 9;  // LOG_PID | LOG_NDELAY
    static inline std::atomic<int> log_level_{6};
    static inline File file_;
    static inline std::atomic<bool> file_failed_{false};
    static int socket_;  // made before main, after 0-2 are known to be open
    static inline std::optional<sockaddr_in> endpoint_;
};

}  // namespace framework
