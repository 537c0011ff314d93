// TLS server connections against real loopback clients: client certificates and the
// settings keys, failures that are logged, peers that misbehave, and the time limits.
#include <gtest/gtest.h>

#include "network/http_server_fixture.hpp"
#include "network/server_fixture.hpp"
#include "support/certs.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

namespace {

using namespace servertest;
using namespace std::chrono_literals;
using Server = TestServer<TlsSession>;
using Connection = Server::Connection;

const std::string kGet = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
const std::string kOk =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
    "Connection: close\r\nContent-Length: 2\r\n\r\nok";

class Tls : public testing::Test {
protected:
    testsupport::TempDir dir;
    testsupport::Certs certs{dir.path()};
    IoThreads loop;

    PeerTls with_cert(const testsupport::KeyPair& pair) const {
        return PeerTls{pair.cert, pair.key, certs.ca_cert, true};
    }
    PeerTls without_cert() const { return PeerTls{"", "", certs.ca_cert, true}; }

    // One exchange; the answer, or empty when the handshake or the read failed.
    std::string exchange(const nlohmann::json& settings, const PeerTls& client,
                         const std::string& request = kGet) {
        Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                      {}, settings);
        std::string answer = testsupport::raw_exchange(server.port, request, 5s, client);
        EXPECT_TRUE(wait_for(no_live_connections));
        return answer;
    }
};

TEST_F(Tls, ClientCertificatesAndSettingsKeys) {
    auto no_cafile = certs.server_settings();
    no_cafile.erase("cafile");
    auto cn_match = certs.server_settings();
    cn_match["cn"] = {"other", "client"};
    auto cn_other = certs.server_settings();
    cn_other["cn"] = {"other"};
    auto encrypted = certs.server_settings(false);
    encrypted["key"] = certs.server_key_encrypted;
    encrypted["pass"] = certs.pass;
    const auto untrusted = certs.make_untrusted("client");
    struct Case {
        const char* what;
        nlohmann::json settings;
        PeerTls client;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"certificate asked and given", certs.server_settings(), with_cert(certs.client), true},
        {"certificate asked, none given", certs.server_settings(), without_cert(), false},
        {"verify false asks none", certs.server_settings(false), without_cert(), true},
        {"untrusted certificate", certs.server_settings(), with_cert(untrusted), false},
        {"no cafile: the client's CA is unknown", no_cafile, with_cert(certs.client), false},
        {"cn lists the client", cn_match, with_cert(certs.client), true},
        {"cn lists others only", cn_other, with_cert(certs.client), false},
        {"encrypted key with pass", encrypted, without_cert(), true},
    };
    for (const auto& test : cases) {
        const std::string answer = exchange(test.settings, test.client);
        if (test.answered)
            EXPECT_EQ(answer, kOk) << test.what;
        else
            EXPECT_EQ(answer, "") << test.what;
    }
}

TEST_F(Tls, ContextFailuresAreLoggedNotThrown) {
    auto no_cert = certs.server_settings(false);
    no_cert.erase("cert");
    auto bad_ciphers = certs.server_settings(false);
    bad_ciphers["ciphers"] = "NO-SUCH-CIPHER";
    auto wrong_pass = certs.server_settings(false);
    wrong_pass["key"] = certs.server_key_encrypted;
    wrong_pass["pass"] = "wrong";
    struct Case {
        nlohmann::json settings;
        std::string log;
        bool answered;
    };
    const std::vector<Case> cases = {
        {no_cert, "ssl/server: [json.exception.out_of_range.403] key 'cert' not found", false},
        // The rejected list is logged; whether a handshake can then agree is OpenSSL's.
        {bad_ciphers, "ssl/server: error setting the cipher list", false},
        {wrong_pass, "ssl/server: use_private_key_file", false},
    };
    for (const auto& test : cases) {
        LogCapture log;
        const std::string answer = exchange(test.settings, without_cert());
        EXPECT_TRUE(log.has(test.log)) << log.text();
        if (test.answered) {
            EXPECT_FALSE(answer.empty()) << test.log;
        }
        if (test.log.find("cipher") == std::string::npos) {
            EXPECT_TRUE(answer.empty()) << test.log;
        }
    }
    LogCapture log;
    framework::TlsContext client(ssl::context::tlsv12_client, nullptr, true);
    EXPECT_TRUE(log.has("ssl/client: [json.exception.type_error.306] cannot use value() with null"))
        << log.text();
}

TEST_F(Tls, PlainHttpToTheTlsPortEndsAtOnce) {
    Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                  {}, certs.server_settings(false));
    RawClient client;
    ASSERT_TRUE(client.connect(server.port));
    ASSERT_TRUE(client.send(kGet));
    // Ended by the server for the failed handshake, not by the handshake's time limit
    // (about 15 s, see below): the client's read stops before that limit only then.
    const std::string answer = client.read_until_close(12s);
    EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_TRUE(client.closed() || client.failed());
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(Tls, PeerWithoutCloseNotifyIsNotAnError) {
    Server server(loop.io, [](Connection&, auto&) {}, {}, certs.server_settings(false));
    LogCapture log;
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port, without_cert()));
        ASSERT_TRUE(client.send("GET / HTTP/1.1\r\n"));
        client.close();  // no close_notify
    }
    ASSERT_TRUE(wait_for(no_live_connections));
    EXPECT_EQ(log.text().find("worker("), std::string::npos) << log.text();
}

TEST_F(Tls, AnswerEndsWithCloseNotify) {
    Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                  {}, certs.server_settings(false));
    RawClient client;
    ASSERT_TRUE(client.connect(server.port, without_cert()));
    ASSERT_TRUE(client.send(kGet));
    EXPECT_EQ(client.read_until_close(5s), kOk);
    EXPECT_TRUE(client.close_notify());
    client.shutdown_write();
    EXPECT_TRUE(wait_for(no_live_connections));
}

// Real time: the limits of a TLS connection.
TEST_F(Tls, TimeoutAnswerIsWrittenInFull) {
    const std::string body(200000, 't');
    Server server(loop.io, [](Connection&, auto&) {},
                  [&](Connection& c, auto&) { c.respond(http::status::gateway_timeout, body, ""); },
                  certs.server_settings(false));
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = testsupport::raw_exchange(server.port, kGet, 25s, without_cert());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 14s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 504 Gateway Timeout\r\n", 0), 0u);
    EXPECT_EQ(answer.size(), answer.find("\r\n\r\n") + 4 + body.size());
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(Tls, HandshakeThatNeverEndsIsCutAtTheLimit) {
    Server server(loop.io, [](Connection&, auto&) {}, {}, certs.server_settings(false));
    RawClient client;
    ASSERT_TRUE(client.connect(server.port));  // plain TCP: never starts the handshake
    ASSERT_TRUE(wait_for([] { return TlsSession::count_.load() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    client.read_until_close(25s);
    EXPECT_TRUE(client.closed() || client.failed());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 13s);
    EXPECT_LT(took, 20s);
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(Tls, PeerThatIgnoresCloseNotifyIsClosedSoon) {
    Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                  {}, certs.server_settings(false));
    RawClient client;
    ASSERT_TRUE(client.connect(server.port, without_cert()));
    ASSERT_TRUE(client.send(kGet));
    // Reads the answer (and the close_notify) but never answers it, never closes.
    EXPECT_EQ(client.read_until("ok", 5s).find("HTTP/1.1 200 OK"), 0u);
    EXPECT_TRUE(wait_for(no_live_connections, 8s));
}

}  // namespace
