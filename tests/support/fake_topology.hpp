#pragma once
// A fake topology service on 127.0.0.1 (a free port, plain HTTP): it answers every request
// with the answer currently set, by default a 200 with an empty merged envelope, and records
// each request it read with the times it was read and answered. One thread accepts, one
// thread per connection answers; every wait is bounded and the destructor joins them all.
// It uses no part of the program, so the program's live-connection counters never see it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace testsupport {

using namespace std::chrono_literals;

class FakeTopology {
public:
    using Clock = std::chrono::steady_clock;

    // One request that was read completely.
    struct Poll {
        std::string method;
        std::string target;
        std::string header;  // the whole header block, request line included
        std::string body;
        Clock::time_point received;
        Clock::time_point answered;  // when the answer was written (or given up)
    };

    // The filter that reads the documents below (and the merger's envelope) into contours.
    static const char* const kFilter;
    // One component in the envelope's form ("currentMode" NORMAL, REPAIR, ...).
    static nlohmann::json component(const std::string& path, const std::string& mode = "NORMAL",
                                    const std::string& parent = {}, unsigned weight = 1,
                                    const std::string& slave = {});
    // {"success": true, "body": {"components": [...]}}.
    static nlohmann::json envelope(const std::vector<nlohmann::json>& components);

    FakeTopology();
    ~FakeTopology();
    FakeTopology(const FakeTopology&) = delete;
    FakeTopology& operator=(const FakeTopology&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path = "/leaf-components") const;

    // Answers 200 with the compact dump of `document`.
    void set_document(const nlohmann::json& document);
    // Answers `status` with `body` as it is.
    void set_answer(int status, std::string body);
    // While set, answers 503 with an empty body, whatever answer is set.
    void set_failing(bool failing);
    // Holds every answer this long after its request was read (the stop ends the hold).
    void set_delay(std::chrono::milliseconds delay);

    size_t polls() const;               // requests read completely
    std::vector<Poll> get_polls() const;
    size_t answered() const;            // answers written (or given up)
    size_t max_open() const;            // most connections open at one time
    bool wait_polls(size_t n, std::chrono::milliseconds deadline = 10s) const;
    bool wait_answered(size_t n, std::chrono::milliseconds deadline = 10s) const;

    // Stops accepting, ends every connection and joins the threads (the destructor does too).
    void stop();

private:
    void accept_loop();
    void serve(int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable stop_cv_;
    int status_ = 200;
    std::string body_;
    bool failing_ = false;
    std::chrono::milliseconds delay_{0};
    std::vector<Poll> polls_;
    size_t answered_ = 0;
    size_t open_ = 0;
    size_t max_open_ = 0;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace testsupport
