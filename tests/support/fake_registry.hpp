#pragma once
// A fake of the external configuration registry on 127.0.0.1 with a free port: an HTTP/1.1
// server on a thread of its own that records every request and answers it with what the
// test's handler returns, one request per connection. The destructor stops and joins.
//
// It listens from construction but serves only once started: a test forks the role before
// it starts the fake, because a child forked while another thread of the test allocates
// can inherit the sanitizer allocator's lock held, and hangs at its first allocation.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

struct RecordedRequest {
    std::string method;
    std::string target;   // as it came on the request line
    std::string decoded;  // the target with %XX sequences decoded
    std::map<std::string, std::string> fields;  // names lowercased
    std::string body;
    std::chrono::steady_clock::time_point when;
};

struct FakeReply {
    unsigned status = 200;
    std::string body;
};

// Decodes %XX sequences (anything else is kept as it is).
std::string percent_decode(const std::string& text);

// Whether `r` is the role's subscription (its PATCH with the include list).
bool is_subscription(const RecordedRequest& r);
// A subscription answer's body: the instance `uuid` with the subscription `id`, which expires
// `lease` from now.
std::string subscription_answer(const std::string& uuid, int id, std::chrono::milliseconds lease);

class FakeRegistry {
public:
    using Handler = std::function<FakeReply(const RecordedRequest&)>;

    explicit FakeRegistry(Handler handler);
    ~FakeRegistry();
    FakeRegistry(const FakeRegistry&) = delete;
    FakeRegistry& operator=(const FakeRegistry&) = delete;

    // Starts serving (once); connections made before wait in the listen queue.
    void start();

    uint16_t port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:<port>", without a path
    void set_handler(Handler handler);

    std::vector<RecordedRequest> requests() const;
    // The requests whose method is `method` and whose decoded target begins with `prefix`.
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& prefix) const;
    // Waits until at least `n` such requests came.
    bool wait_requests(const std::string& method, const std::string& prefix, size_t n,
                       std::chrono::milliseconds deadline = 10s) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

}  // namespace testsupport
