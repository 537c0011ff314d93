#pragma once
// PLACEHOLDER: the logger's interface, so every component can log from the start.
// The real implementation replaces this file.
#include <cstdio>
#include <string>
#include <string_view>

namespace framework {

class Syslog {
public:
    Syslog(std::string_view ident, int options) {}
    static void set_tag(std::string_view name) { if (!name.empty()) tag_ = name; }
    static const std::string& get_tag() { return tag_; }
    static void set_log_level(std::string_view name) {}
    static int get_log_level() noexcept { return log_level_; }
    static void redirect(std::string_view target) {}

    template <typename... Args>
    static void log(int level, const char* format, Args... args) {
        if (level > log_level_) return;
        std::fprintf(stderr, format, args..., nullptr);
        std::fputc('\n', stderr);
    }

private:
    static inline std::string tag_;
    static inline int log_level_ = 6;
};

}  // namespace framework
