// TLS server connections against real loopback clients: client certificates and the
// settings keys, failures that are logged, peers that misbehave, and the time limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>

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

// ---- Files on disk ------------------------------------------------------------------
// A connection sees the certificate and key files as they are when it starts, though
// connections share one context while the files stay as they are.

using framework::TlsContextCache;

class TlsFiles : public Tls {
protected:
    void SetUp() override {
        // Files just written count at once: the context kept for them is what is tested.
        TlsContextCache::shared().set_settle(0ns);
        dir.write("served.pem", testsupport::read_file(certs.server.cert));
        dir.write("served.key", testsupport::read_file(certs.server.key));
    }
    void TearDown() override { TlsContextCache::shared().set_settle(2s); }

    nlohmann::json settings() const {
        return {{"cert", dir.file("served.pem")}, {"key", dir.file("served.key")}, {"verify", false}};
    }
    // The subject of the certificate served to one exchange, empty when it failed.
    std::string served(uint16_t port) {
        RawClient client;
        if (!client.connect(port, PeerTls{"", "", "", false})) return "";
        if (!client.send(kGet) || client.read_until_close(5s) != kOk) return "answer failed";
        return client.peer_subject();
    }
    // Replaces a served file by renaming a new one over it (a new inode).
    void rename_over(const std::string& name, const std::string& content) {
        dir.write(name + ".new", content);
        ASSERT_EQ(std::rename(dir.file(name + ".new").c_str(), dir.file(name).c_str()), 0);
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(TlsFiles, ReplacedCertificateIsServedByTheNextConnection) {
    Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                  {}, settings());
    EXPECT_EQ(served(server.port), "/CN=localhost");
    EXPECT_EQ(served(server.port), "/CN=localhost");
    // Names of other lengths: the files differ in size too, whatever the clock shows.
    const auto first = certs.make_untrusted("replaced-in-place");
    dir.write("served.pem", testsupport::read_file(first.cert));
    dir.write("served.key", testsupport::read_file(first.key));
    EXPECT_EQ(served(server.port), "/CN=replaced-in-place");
    EXPECT_EQ(served(server.port), "/CN=replaced-in-place");
    const auto second = certs.make_untrusted("renamed-over-it");
    rename_over("served.pem", testsupport::read_file(second.cert));
    rename_over("served.key", testsupport::read_file(second.key));
    EXPECT_EQ(served(server.port), "/CN=renamed-over-it");
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(TlsFiles, BrokenFilesFailEveryConnectionUntilRepaired) {
    const auto other = certs.make_untrusted("other");
    const std::string cert = testsupport::read_file(certs.server.cert);
    const std::string key = testsupport::read_file(certs.server.key);
    struct Case {
        const char* what;
        std::function<void()> break_it;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"certificate removed", [&] { std::remove(dir.file("served.pem").c_str()); },
         "ssl/server: use_certificate_chain_file"},
        {"key removed", [&] { std::remove(dir.file("served.key").c_str()); },
         "ssl/server: use_private_key_file"},
        {"certificate the key does not match",
         [&] { rename_over("served.pem", testsupport::read_file(other.cert)); },
         "ssl/server: use_private_key_file"},
        {"certificate garbled", [&] { dir.write("served.pem", "-----BEGIN CERTIFICATE-----\nxx\n"); },
         "ssl/server: use_certificate_chain_file"},
    };
    Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                  {}, settings());
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ASSERT_EQ(served(server.port), "/CN=localhost");
        LogCapture log;
        test.break_it();
        // Each connection fails and says why: a failed context is never kept.
        EXPECT_EQ(served(server.port), "");
        EXPECT_EQ(served(server.port), "");
        EXPECT_EQ(count(log.text(), test.log), 2u) << log.text();
        rename_over("served.pem", cert);
        rename_over("served.key", key);
        EXPECT_EQ(served(server.port), "/CN=localhost");
    }
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(TlsFiles, CertificateWithoutItsChainGoesWithTheIssuersTheTrustedFilesHold) {
    // served.pem holds the server's own certificate only.
    auto with_ca = settings();
    with_ca["cafile"] = certs.ca_cert;
    auto with_chain = settings();
    with_chain["cert"] = dir.write("chained.pem", testsupport::read_file(certs.server.cert) +
                                                      testsupport::read_file(certs.ca_cert));
    struct Case {
        const char* what;
        nlohmann::json settings;
        std::size_t sent;
    };
    const std::vector<Case> cases = {
        {"its CA in cafile", with_ca, 2},
        {"no issuer at hand", settings(), 1},
        {"the chain in the file", with_chain, 2},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        Server server(loop.io, [](Connection& c, auto&) { c.respond(http::status::ok, "ok", ""); },
                      {}, test.settings);
        for (int i = 0; i < 2; ++i) {  // a context built for the connection, then the kept one
            RawClient client;
            ASSERT_TRUE(client.connect(server.port, PeerTls{"", "", "", false})) << client.error();
            EXPECT_EQ(client.peer_chain_size(), test.sent);
            ASSERT_TRUE(client.send(kGet));
            EXPECT_EQ(client.read_until_close(5s), kOk);
        }
    }
    EXPECT_TRUE(wait_for(no_live_connections));
}

TEST_F(TlsFiles, CacheSharesOneContextPerSettingsWhileTheFilesStay) {
    TlsContextCache cache(0ns);
    const nlohmann::json s = settings();
    const auto context = cache.get(s, false);
    ASSERT_TRUE(context->complete());
    EXPECT_EQ(cache.get(s, false), context);
    EXPECT_EQ(cache.get(nlohmann::json(s), false), context) << "a copy of the same settings";
    EXPECT_NE(cache.get(s, true), context) << "the client side has its own";
    auto other = s;
    other["ciphers"] = "HIGH";
    EXPECT_NE(cache.get(other, false), context) << "other settings";
    // The same bytes with another modification time (touch -d): a change all the same.
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("served.key").c_str(), times, 0), 0);
    const auto rebuilt = cache.get(s, false);
    EXPECT_NE(rebuilt, context);
    EXPECT_EQ(cache.get(s, false), rebuilt);

    // Files changed within the settling time are read anew for every connection.
    TlsContextCache careful(1h);
    EXPECT_NE(careful.get(s, false), careful.get(s, false));

    // A failed build serves its own connection only, and is logged each time.
    auto missing = s;
    missing.erase("cert");
    LogCapture log;
    const auto failed = cache.get(missing, false);
    EXPECT_FALSE(failed->complete());
    EXPECT_NE(cache.get(missing, false), failed);
    EXPECT_EQ(count(log.text(), "ssl/server: [json.exception.out_of_range.403]"), 2u) << log.text();
}

}  // namespace
