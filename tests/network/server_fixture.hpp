#pragma once
// Helpers of the network server tests: an event loop run by several threads, and a
// capture of the log lines written while a test runs.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "network/namespaces.hpp"

namespace servertest {

// An io_context kept busy by `threads` threads until the object is destroyed.
class IoThreads {
public:
    explicit IoThreads(int threads = 4) : work_(net::make_work_guard(io)) {
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

// What the logger writes while the object lives (it writes to standard error).
class LogCapture {
public:
    LogCapture() { testing::internal::CaptureStderr(); }
    ~LogCapture() {
        if (!done_) testing::internal::GetCapturedStderr();
    }
    std::string text() {
        if (!done_) {
            text_ = testing::internal::GetCapturedStderr();
            done_ = true;
        }
        return text_;
    }

private:
    bool done_ = false;
    std::string text_;
};

}  // namespace servertest
