#include "support/log_capture.hpp"

#include <mutex>

#include "common/syslog.hpp"

namespace testsupport {
namespace {

struct Recording {
    std::mutex mutex;
    bool on = false;
    std::string text;
};

Recording& recording() {
    static Recording r;
    return r;
}

framework::Syslog::SystemLog forward = nullptr;

void record(int priority, const char* message) {
    {
        Recording& r = recording();
        std::lock_guard lock(r.mutex);
        if (r.on) {
            r.text += message;
            r.text += '\n';
            return;
        }
    }
    if (forward) forward(priority, message);
}

// Dynamic initialisation runs before main, while the program has one thread.
const bool installed = [] {
    recording();
    forward = framework::Syslog::system_log_;
    framework::Syslog::system_log_ = &record;
    return true;
}();

const char* level_name(int level) {
    for (const auto& entry : framework::log_map)
        if (entry.level == level) return entry.name.data();
    return "info";
}

}  // namespace

LogCapture::LogCapture(const char* level) : saved_level_(framework::Syslog::get_log_level()) {
    (void)installed;
    {
        Recording& r = recording();
        std::lock_guard lock(r.mutex);
        r.text.clear();
        r.on = true;
    }
    if (level) framework::Syslog::set_log_level(level);  // logs through the capture
}

LogCapture::~LogCapture() {
    if (framework::Syslog::get_log_level() != saved_level_)
        framework::Syslog::set_log_level(level_name(saved_level_));
    Recording& r = recording();
    std::lock_guard lock(r.mutex);
    r.on = false;
}

std::string LogCapture::text() const {
    Recording& r = recording();
    std::lock_guard lock(r.mutex);
    return r.text;
}

bool LogCapture::has(const std::string& part) const {
    return text().find(part) != std::string::npos;
}

bool LogCapture::has_line(const std::string& line) const {
    const std::string all = "\n" + text();
    return all.find("\n" + line + "\n") != std::string::npos;
}

}  // namespace testsupport
