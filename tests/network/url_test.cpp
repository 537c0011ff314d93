#include "network/url.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using framework::Url;

struct ParseCase {
    std::string text;
    bool valid;
    uint32_t proto;
    std::string host;
    std::string address;
    std::string port;
    std::string path;
};

TEST(Url, ParseSplitsSchemeHostPortAndPath) {
    const std::vector<ParseCase> cases = {
        // scheme in any case, default ports, proto bits
        {"http://127.0.0.1:8080/a?b#c", true, 5, "", "127.0.0.1", "8080", "/a?b#c"},
        {"HTTP://127.0.0.1", true, 5, "", "127.0.0.1", "80", ""},
        {"HtTpS://127.0.0.1/x", true, 9, "", "127.0.0.1", "443", "/x"},
        {"udp://127.0.0.1:514", true, 2, "", "127.0.0.1", "514", ""},
        {"tcp://127.0.0.1:9", true, 1, "", "127.0.0.1", "9", ""},
        {"http://localhost:81/p", true, 5, "localhost", "127.0.0.1", "81", "/p"},
        {"http://127.1:82", true, 5, "127.1", "127.0.0.1", "82", ""},
        // nothing after "://", too short for https, unknown schemes
        {"https://", false, 0, "", "", "", ""},
        {"http://", false, 0, "", "", "", ""},
        {"https:/x/y", false, 0, "", "", "", ""},
        {"httpx://127.0.0.1/", false, 0, "", "", "", ""},
        {"ftp://127.0.0.1:21/", false, 0, "", "", "", ""},
        {"/var/log/travine.log", false, 0, "", "", "", ""},
        // tcp and udp have no default port
        {"tcp://127.0.0.1", false, 1, "127.0.0.1", "", "", ""},
        {"udp://127.0.0.1/x", false, 2, "127.0.0.1", "", "", "/x"},
        // empty, zero, non-numeric and out-of-range ports
        {"http://127.0.0.1:/x", false, 5, "127.0.0.1", "", "", "/x"},
        {"http://127.0.0.1:", false, 5, "127.0.0.1", "", "", ""},
        {"http://127.0.0.1:0", false, 5, "127.0.0.1", "", "0", ""},
        {"http://127.0.0.1:x80", false, 5, "127.0.0.1", "", "x80", ""},
        {"http://127.0.0.1:-1", false, 5, "127.0.0.1", "", "-1", ""},
        {"http://127.0.0.1:65536", false, 5, "127.0.0.1", "", "65536", ""},
        {"http://127.0.0.1:99999999999", false, 5, "127.0.0.1", "", "99999999999", ""},
        {"http://127.0.0.1:65535", true, 5, "", "127.0.0.1", "65535", ""},
        {"http://127.0.0.1:80abc/p", true, 5, "", "127.0.0.1", "80abc", "/p"},
        // the last ':' before the first '/' splits; only '/' ends host and port
        {"http://a:b:8080/x", true, 5, "a:b", "", "8080", "/x"},
        {"http://[::1]:8080/", true, 5, "[::1]", "", "8080", "/"},
        {"http://user:pw@127.0.0.1:81/", true, 5, "user:pw@127.0.0.1", "", "81", "/"},
        {"http://127.0.0.1?q=1", true, 5, "127.0.0.1?q=1", "", "80", ""},
        {"http://127.0.0.1:81?q=1", true, 5, "", "127.0.0.1", "81?q=1", ""},
        {"http://:8080/", true, 5, ":8080", "", "8080", "/"},
        // a name that does not resolve still makes a valid Url, without address
        {"http://nohost.invalid:80/", true, 5, "nohost.invalid", "", "80", "/"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        Url url;
        EXPECT_EQ(url.parse(c.text), c.valid);
        EXPECT_EQ(url.is_valid(), c.valid);
        EXPECT_EQ(url.text, c.text);
        EXPECT_EQ(url.proto, c.proto);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.address, c.address);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.path, c.path);
        if (c.address.empty()) {
            EXPECT_TRUE(url.addrs.empty());
            EXPECT_EQ(url.addr.sin_family, 0);
            EXPECT_EQ(url.addr.sin_addr.s_addr, 0u);
        } else {
            ASSERT_FALSE(url.addrs.empty());
            EXPECT_EQ(url.addr.sin_family, AF_INET);
            EXPECT_EQ(url.addr.sin_port, htons(static_cast<uint16_t>(std::stoi(c.port))));
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &url.addr.sin_addr, dotted, sizeof(dotted));
            EXPECT_EQ(dotted, c.address);
            EXPECT_EQ(url.addrs.front().sin_addr.s_addr, url.addr.sin_addr.s_addr);
            for (const sockaddr_in& a : url.addrs) EXPECT_EQ(a.sin_port, url.addr.sin_port);
        }
    }
}

TEST(Url, AddressLiteralIsTheAddressAsWritten) {
    // No look-up that could add or reorder addresses: exactly the literal.
    const Url url("http://127.0.0.1:8080/");
    EXPECT_TRUE(url.is_valid());
    EXPECT_EQ(url.address, "127.0.0.1");
    ASSERT_EQ(url.addrs.size(), 1u);
    EXPECT_EQ(url.addrs[0].sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(url.addrs[0].sin_port, htons(8080));
}

TEST(Url, ConstructorsAndCopiesKeepTheResolvedAddress) {
    const std::string text = "http://localhost:8081/x";
    const Url from_string(text);
    const Url from_literal("http://localhost:8081/x");
    const Url from_view(std::string_view("http://localhost:8081/x"));
    for (const Url* u : {&from_string, &from_literal, &from_view}) {
        EXPECT_TRUE(u->is_valid());
        EXPECT_EQ(u->address, "127.0.0.1");
    }
    const Url copy = from_string;
    EXPECT_EQ(copy.address, "127.0.0.1");
    EXPECT_EQ(copy.addrs.size(), from_string.addrs.size());
    EXPECT_EQ(copy.addr.sin_port, htons(8081));
}

TEST(Url, TargetIsSlashForAnEmptyPath) {
    EXPECT_EQ(Url("http://127.0.0.1:80").get_target(), "/");
    EXPECT_EQ(Url("http://127.0.0.1:80/").get_target(), "/");
    EXPECT_EQ(Url("http://127.0.0.1:80/a/b?c=d").get_target(), "/a/b?c=d");
}

TEST(Url, ParsesFromSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> good(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 50; ++i) {
                const Url a("http://localhost:" + std::to_string(1000 + i) + "/");
                const Url b("tcp://127.0.0.1:" + std::to_string(2000 + i));
                if (a.address == "127.0.0.1" && a.host == "localhost" && b.host.empty() &&
                    b.address == "127.0.0.1")
                    ++good[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(good[t], 50) << "thread " << t;
}

TEST(Url, EncodePercentEncodesSevenBytes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a b~c", "/a%20b%7Ec"},
        {"/p?x=1&y=2", "/p?x=1&y=2"},
        {"%41", "%2541"},
        {"\"<>", "%22%3C%3E"},
        {std::string("a\0b", 3), "a%00b"},
        {"\xC3\xA9\x7F", "\xC3\xA9\x7F"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Url::encode(in), out) << in;
}

}  // namespace
