// The HTTP server connection over plain TCP against real loopback clients: the exact
// bytes of its own answers, files, limits, exceptions, and one answer per connection.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "network/http_server_fixture.hpp"
#include "network/server_fixture.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using namespace servertest;
using namespace std::chrono_literals;
using Server = TestServer<TcpSession>;
using Connection = Server::Connection;

const std::string kGet = "GET /status?x=1 HTTP/1.1\r\nHost: h\r\n\r\n";

TEST(HttpServer, OwnAnswersHaveExactBytes) {
    struct Case {
        std::string request;
        std::function<void(Connection&)> answer;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {kGet, [](Connection& c) { c.respond(http::status::not_found, "", ""); },
         "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: 0\r\n\r\n"},
        {kGet, [](Connection& c) { c.respond(http::status::ok, nlohmann::json()); },
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: 2\r\n\r\n{}"},
        {"GET / HTTP/1.0\r\n\r\n",
         [](Connection& c) { c.respond(http::status::ok, nlohmann::json{{"b", 1}, {"a", "x"}}); },
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: 15\r\n\r\n{\"a\":\"x\",\"b\":1}"},
        {kGet, [](Connection&) { throw std::runtime_error("boom"); },
         "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
         "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: 16\r\n\r\n"
         "{\"error\":\"boom\"}"},
        {kGet, [](Connection&) { throw 7; },
         "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
         "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"},
        {kGet,
         [](Connection& c) {
             http::response<http::dynamic_body> relayed{http::status::accepted, 11};
             relayed.set("X-Up", "1");
             beast::ostream(relayed.body()) << "relayed";
             c.respond(std::move(relayed));
         },
         "HTTP/1.1 202 Accepted\r\nX-Up: 1\r\nContent-Length: 7\r\n\r\nrelayed"},
    };
    IoThreads loop;
    for (const auto& test : cases) {
        Server server(loop.io, [&](Connection& c, auto&) { test.answer(c); });
        EXPECT_EQ(raw_exchange(server.port, test.request), test.expected);
        ASSERT_TRUE(wait_for(no_live_connections));
    }
}

TEST(HttpServer, LogsTheRequestLineAndPassesFieldsInOrder) {
    IoThreads loop;
    std::vector<std::pair<std::string, std::string>> fields;
    Server server(loop.io, [&](Connection& c, auto&) {
        fields = c.fields;
        c.respond(http::status::ok, "", "");
    });
    LogCapture log("info");
    raw_exchange(server.port, "GET /status?x=1 HTTP/1.1\r\nB: 1\r\nA: 2\r\nC: 3\r\n\r\n");
    ASSERT_TRUE(wait_for(no_live_connections));
    EXPECT_TRUE(log.has("worker(1): GET /status?x=1 HTTP/1.1")) << log.text();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"B", "1"}, {"A", "2"}, {"C", "3"}};
    EXPECT_EQ(fields, expected);
}

TEST(HttpServer, SendFileServesOnlySmallNonEmptyFiles) {
    testsupport::TempDir dir;
    const std::string small(262143, 's');
    dir.write("small", small);
    dir.write("large", std::string(262144, 'l'));
    dir.write("empty", "");
    const std::string k503 =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nCache-Control: "
        "no-store\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        std::string file;
        std::string expected;
        bool result;
    };
    const std::vector<Case> cases = {
        {"small",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: 262143\r\n\r\n" + small,
         true},
        {"large", k503, false},
        {"empty", k503, false},
        {"missing", k503, false},
    };
    IoThreads loop;
    for (const auto& test : cases) {
        std::atomic<int> result{-1};
        Server server(loop.io, [&](Connection& c, auto&) {
            result = c.send_file(dir.file(test.file), "application/json");
        });
        EXPECT_EQ(raw_exchange(server.port, kGet), test.expected) << test.file;
        // The answer may reach the client before send_file has returned.
        EXPECT_TRUE(wait_for([&] { return result.load() != -1; })) << test.file;
        EXPECT_EQ(result.load(), test.result ? 1 : 0) << test.file;
        ASSERT_TRUE(wait_for(no_live_connections));
    }
}

TEST(HttpServer, RequestsOverTheLimitsEndWithoutAnswer) {
    struct Case {
        std::string request;
        std::string log;
    };
    const std::vector<Case> cases = {
        // A header longer than the read buffer (but within the parser's limit).
        {"GET / HTTP/1.1\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
         "worker(1): header limit exceeded"},
        {"POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n" + std::string(100000, 'b'),
         "worker(1): body limit exceeded"},
        {"BAD\x01 / HTTP/1.1\r\n\r\n", "worker(1): bad method"},
    };
    IoThreads loop;
    std::atomic<int> requests{0};
    Server server(loop.io, [&](Connection& c, auto&) {
        ++requests;
        c.respond(http::status::ok, "", "");
    });
    for (const auto& test : cases) {
        LogCapture log;
        RawClient client;
        ASSERT_TRUE(client.connect(server.port));
        (void)client.send(test.request);  // the server may end it before it has read all
        // Ended by the server for the bad request, not by a connection's 15-second limit:
        // the read stops before that limit only then.
        EXPECT_EQ(client.read_until_close(12s), "");
        EXPECT_TRUE(client.closed() || client.failed());
        ASSERT_TRUE(wait_for(no_live_connections));
        EXPECT_TRUE(log.has(test.log)) << log.text();
    }
    EXPECT_EQ(requests.load(), 0);
}

TEST(HttpServer, BodyUpToTheLimitStreamsThroughTheBuffer) {
    IoThreads loop;
    const std::string body(1048576, 'q');
    std::atomic<bool> same{false};
    Server server(loop.io, [&](Connection& c, auto& p) {
        same = beast::buffers_to_string(p.get().body().data()) == body;
        c.respond(http::status::ok, "", "");
    });
    const std::string answer = raw_exchange(
        server.port, "POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + body, 10s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_TRUE(same.load());
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST(HttpServer, AnswerLargerThanTheSocketBuffersIsWrittenInFull) {
    // Far more than any loopback socket buffer takes at once: the first write is partial
    // and the rest waits for the client to read.
    const std::string body(16 << 20, 'z');
    IoThreads loop;
    Server server(loop.io, [&](Connection& c, auto&) { c.respond(http::status::ok, body, ""); });
    const std::string answer = raw_exchange(server.port, kGet, 20s);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
                             "Connection: close\r\nContent-Length: 16777216\r\n\r\n";
    ASSERT_EQ(answer.size(), head.size() + body.size());
    EXPECT_EQ(answer.compare(0, head.size(), head), 0);
    EXPECT_EQ(answer.compare(head.size(), body.size(), body), 0);
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST(HttpServer, AnswersOnceHoweverManyTryAndDispatchesOnce) {
    IoThreads loop(6);
    std::atomic<int> requests{0}, accepted{0}, refused{0};
    Server server(loop.io, [&](Connection& c, auto&) {
        ++requests;
        auto self = c.shared_from_this();
        // Racing answers from other threads and from the hook itself.
        std::vector<std::thread> racers;
        for (int i = 0; i < 4; ++i)
            racers.emplace_back([self, i, &accepted, &refused] {
                const bool ok = self->respond(http::status::ok, std::string(50000, 'a' + i), "");
                (ok ? accepted : refused)++;
            });
        const bool ok = c.respond(http::status::ok, std::string(50000, 'z'), "");
        (ok ? accepted : refused)++;
        for (auto& t : racers) t.join();
    });
    for (int round = 0; round < 20; ++round) {
        // A second, pipelined request must not reach the hooks again.
        const std::string answer =
            raw_exchange(server.port, kGet + "GET /again HTTP/1.1\r\n\r\n" + kGet, 5s);
        ASSERT_EQ(answer.size(), answer.find("\r\n\r\n") + 4 + 50000) << round;
        const std::string body = answer.substr(answer.size() - 50000);
        EXPECT_EQ(body, std::string(50000, body[0]));
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos);
        ASSERT_TRUE(wait_for(no_live_connections));
    }
    EXPECT_EQ(requests.load(), 20);
    EXPECT_EQ(accepted.load(), 20);
    EXPECT_EQ(refused.load(), 80);
}

TEST(HttpServer, ClientThatClosesEarlyGetsNothingAndNothingIsLogged) {
    IoThreads loop;
    Server server(loop.io, [&](Connection& c, auto&) { c.respond(http::status::ok, "", ""); });
    LogCapture log;
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port));
        client.send("GET / HTTP/1.1\r\nHo");
        client.close();
    }
    ASSERT_TRUE(wait_for(no_live_connections));
    EXPECT_EQ(log.text().find("worker"), std::string::npos) << log.text();
}

// Real time: the 15-second limit, answered from on_timeout.
TEST(HttpServerTimeout, OnTimeoutAnswerIsDeliveredOverTcp) {
    IoThreads loop;
    Server server(loop.io, [](Connection&, auto&) {},
                  [](Connection& c, auto&) { c.respond(http::status::gateway_timeout, "late", ""); });
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = raw_exchange(server.port, kGet, 25s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answer,
              "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/plain\r\nCache-Control: "
              "no-store\r\nConnection: close\r\nContent-Length: 4\r\n\r\nlate");
    EXPECT_GE(took, 14s);
    EXPECT_LT(took, 20s);
    ASSERT_TRUE(wait_for(no_live_connections));
    EXPECT_TRUE(log.has("worker(1): Connection timed out")) << log.text();
}

TEST(HttpServerTimeout, NoAnswerEndsTheConnectionAtTheLimit) {
    IoThreads loop;
    Server server(loop.io, [](Connection&, auto&) {});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(raw_exchange(server.port, "GET / HTTP/1.1\r\n", 25s), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 14s);
    EXPECT_TRUE(wait_for(no_live_connections));
}

}  // namespace
