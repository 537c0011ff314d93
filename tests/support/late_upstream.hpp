#pragma once
// An upstream that takes its time to accept: its accept queue is kept full, so a connect to
// it stays pending (the kernel drops the SYNs and the client sends them again, after 1, 3, 7
// seconds, ...), until `release_after` has passed since `start`. Then it takes the next
// connection, reads one request header, waits `answer_after` and writes `answer`.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class LateUpstream {
public:
    LateUpstream(std::chrono::milliseconds release_after, std::chrono::milliseconds answer_after,
                 std::string answer);
    ~LateUpstream();
    LateUpstream(const LateUpstream&) = delete;
    LateUpstream& operator=(const LateUpstream&) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/") const;

    // Starts the countdown to the release (once).
    void start();
    // The connection was accepted / the answer was written in full.
    bool accepted() const { return accepted_; }
    bool answered() const { return answered_; }
    std::string received() const;

private:
    void run();

    std::chrono::milliseconds release_after_;
    std::chrono::milliseconds answer_after_;
    std::string answer_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> fillers_;
    std::vector<uint16_t> filler_ports_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> answered_{false};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

}  // namespace testsupport
