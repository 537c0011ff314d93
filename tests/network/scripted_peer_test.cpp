// The shared network test tooling itself: scripted peers, raw clients, certificates.
#include "support/certs.hpp"
#include "support/scripted_peer.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace testsupport;

TEST(ScriptedPeer, PlainExchangeRecordsRequestAndClosesOrderly) {
    ScriptedPeer peer(Script().read_request().write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").close());
    const std::string got = raw_exchange(peer.port(), "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(got, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_TRUE(peer.wait_done(1));
    const auto rec = peer.record(0);
    EXPECT_EQ(rec.received, "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_TRUE(rec.peer_closed);
    EXPECT_FALSE(rec.peer_reset);
}

TEST(ScriptedPeer, ResetAndHold) {
    ScriptedPeer peer([](size_t i) {
        return i == 0 ? Script().read_header().reset() : Script().hold(5s);
    });
    RawClient a;
    ASSERT_TRUE(a.connect(peer.port()));
    ASSERT_TRUE(a.send("GET / HTTP/1.1\r\n\r\n"));
    a.read_until_close(5s);
    EXPECT_TRUE(a.failed());

    RawClient b;
    ASSERT_TRUE(b.connect(peer.port()));
    ASSERT_TRUE(b.send("x"));
    EXPECT_EQ(b.read_until_close(200ms), "");
    EXPECT_FALSE(b.closed());  // still held open
    b.shutdown_write();
    ASSERT_TRUE(peer.wait_done(2));
    EXPECT_EQ(peer.record(1).received, "x");
    EXPECT_TRUE(b.read_until_close(2s).empty());
    EXPECT_TRUE(b.closed());
}

TEST(ScriptedPeer, TlsWithAndWithoutCloseNotify) {
    TempDir dir;
    Certs certs(dir.path());
    PeerTls server{certs.server.cert, certs.server.key, certs.ca_cert, false};
    PeerTls client{"", "", certs.ca_cert, true};
    ScriptedPeer peer([](size_t i) {
        Script s;
        s.read_header().write("hello");
        return i == 0 ? s.close() : s.close_no_notify();
    }, server);
    for (int i = 0; i < 2; ++i) {
        RawClient c;
        ASSERT_TRUE(c.connect(peer.port(), client)) << c.error();
        ASSERT_TRUE(c.send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(c.read_until_close(5s), "hello");
        EXPECT_TRUE(c.closed());
        EXPECT_EQ(c.close_notify(), i == 0);
    }
}

TEST(ScriptedPeer, TlsClientCertificateRequired) {
    TempDir dir;
    Certs certs(dir.path(), "localhost", "client.test");
    PeerTls server{certs.server.cert, certs.server.key, certs.ca_cert, true};
    ScriptedPeer peer(Script().read_header().write("ok").close(), server);

    RawClient without;
    // TLS 1.3 reports a refused client certificate only on the first read.
    if (without.connect(peer.port(), PeerTls{"", "", certs.ca_cert, true})) {
        without.send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(without.read_until_close(5s), "");
    }
    RawClient with;
    ASSERT_TRUE(with.connect(peer.port(), PeerTls{certs.client.cert, certs.client.key, certs.ca_cert, true}))
        << with.error();
    ASSERT_TRUE(with.send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(with.read_until_close(5s), "ok");

    // A certificate that the CA did not sign is refused by a verifying client.
    const KeyPair rogue = certs.make_untrusted("localhost");
    ScriptedPeer rogue_peer(Script().hold(2s), PeerTls{rogue.cert, rogue.key, "", false});
    RawClient c;
    EXPECT_FALSE(c.connect(rogue_peer.port(), PeerTls{"", "", certs.ca_cert, true}));
}

TEST(Certs, EncryptedKeyNeedsItsPassPhrase) {
    TempDir dir;
    Certs certs(dir.path());
    EXPECT_NE(read_file(certs.server_key_encrypted).find("ENCRYPTED"), std::string::npos);
    EXPECT_NE(read_file(certs.client_key_encrypted).find("ENCRYPTED"), std::string::npos);
    EXPECT_EQ(read_file(certs.server.key).find("ENCRYPTED"), std::string::npos);
    EXPECT_EQ(certs.server_settings(false)["verify"], false);
    EXPECT_EQ(certs.client_settings()["cafile"], certs.ca_cert);
}

TEST(StalledListener, ConnectStaysPending) {
    StalledListener stalled;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(stalled.port());
    const int r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    pollfd p{fd, POLLOUT, 0};
    EXPECT_TRUE(r != 0 && ::poll(&p, 1, 300) == 0);
    ::close(fd);
}

}  // namespace
