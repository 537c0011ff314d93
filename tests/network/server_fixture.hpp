#pragma once
// Helpers of the network server tests: an event loop run by several threads, and the
// capture of the log lines written while a test runs.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "network/namespaces.hpp"
#include "support/log_capture.hpp"

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

// The log capture of every test program (tests/support).
using testsupport::LogCapture;

}  // namespace servertest
