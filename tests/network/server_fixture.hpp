#pragma once
// Helpers of the network server tests: an event loop run by several threads, and a
// capture of the log lines written while a test runs.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "common/syslog.hpp"
#include "network/namespaces.hpp"

namespace servertest {

// An io_context kept busy by `threads` threads until the object is destroyed.
class IoThreads {
public:
    explicit IoThreads(int threads = 4) : work_(net::make_work_guard(io)) {
        // The reactor must exist before the threads run the loop: creating it while they
        // already wait inside run() races with them (the program's roles open their
        // listeners first too).
        net::steady_timer{io};
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io.run(); });
    }
    ~IoThreads() {
        work_.reset();
        io.stop();
        for (auto& t : threads_) t.join();
    }
    IoThreads(const IoThreads&) = delete;
    IoThreads& operator=(const IoThreads&) = delete;

    net::io_context io;

private:
    net::executor_work_guard<net::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

// Every log line written while the object lives, caught at the system-log sink (the
// default one), optionally with a finer threshold.
class LogCapture {
public:
    explicit LogCapture(const char* level = nullptr) {
        {
            std::lock_guard lock(mutex());
            text_buffer().clear();
            saved_ = framework::Syslog::system_log_;
            framework::Syslog::system_log_ = &capture;
        }
        saved_level_ = framework::Syslog::get_log_level();
        if (level) framework::Syslog::set_log_level(level);  // logs through the capture
    }
    ~LogCapture() {
        if (framework::Syslog::get_log_level() != saved_level_)
            framework::Syslog::set_log_level(level_name(saved_level_));
        std::lock_guard lock(mutex());
        framework::Syslog::system_log_ = saved_;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::lock_guard lock(mutex());
        return text_buffer();
    }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    static void capture(int, const char* message) {
        std::lock_guard lock(mutex());
        text_buffer() += message;
        text_buffer() += '\n';
    }
    static const char* level_name(int level) {
        for (const auto& entry : framework::log_map)
            if (entry.level == level) return entry.name.data();
        return "info";
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::string& text_buffer() {
        static std::string t;
        return t;
    }

    framework::Syslog::SystemLog saved_ = nullptr;
    int saved_level_ = 6;
};

}  // namespace servertest
