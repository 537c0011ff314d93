#pragma once
// framework::Url: a parsed URL (scheme, host, port, path) whose host is resolved at parse
// time into IPv4 socket addresses. A plain value: copies keep the resolved addresses.
// Parsing blocks for the look-ups and is safe on several threads at once.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace framework {

struct Protocol {
    uint32_t id;
    std::string_view scheme;
    std::string_view default_port;
};

// Tried in this order.
inline constexpr Protocol k_protocols[] = {
    {8, "https", "443"},
    {4, "http", "80"},
    {1, "tcp", ""},
    {2, "udp", ""},
};

class Url {
public:
    // Bits of `proto`; http and https also carry kTcp.
    static constexpr uint32_t kTcp = 1;
    static constexpr uint32_t kUdp = 2;
    static constexpr uint32_t kHttp = 4;
    static constexpr uint32_t kHttps = 8;

    Url() = default;
    // Parses `text`; the validity is not kept, test it with is_valid().
    template <typename S,
              typename = std::enable_if_t<std::is_convertible_v<const S&, std::string_view>>>
    Url(const S& text) {  // NOLINT: implicit by design, configuration code builds Urls from text
        parse(std::string_view(text));
    }

    // Fills every field from `text`; returns is_valid().
    bool parse(std::string_view text);
    // Recognises the scheme (any case) and sets proto and the default port; returns the
    // text after "://", empty when there is no known scheme followed by "://".
    std::string_view parse_proto(std::string_view text);
    // A scheme, a host (or a resolved address) and a port in 1..65535.
    bool is_valid() const;
    // The request target: the path, or "/" when the URL has none.
    std::string_view get_target() const { return path.empty() ? std::string_view("/") : path; }
    // The first resolved address with its port (`addr`) as a TCP endpoint; 0.0.0.0:0 if none.
    boost::asio::ip::tcp::endpoint endpoint() const { return endpoint(addr); }
    static boost::asio::ip::tcp::endpoint endpoint(const sockaddr_in& address);

    // Percent-encodes space, '~', '"', '>', '<', '%' and NUL as %XX (upper case).
    static std::string encode(std::string_view text);

    std::string text;     // the whole text parsed
    uint32_t proto = 0;   // kTcp | kUdp | kHttp | kHttps bits; 0: no known scheme
    std::string host;     // as written; empty when written as an address literal (unless
                          // it has a reverse name other than "localhost")
    std::string address;  // dotted quad of the first resolved address; empty if none
    std::string port;     // as written, else the scheme's default
    sockaddr_in addr{};   // the first resolved address with the port; zero if none
    std::vector<sockaddr_in> addrs;  // every resolved address in order, port set
    std::string path;     // from the first '/' after host and port, query and fragment
                          // included; empty when there is none
};

// Chooses the logger's sink by what `target` names: "" standard error; a valid udp URL whose
// host resolved: datagrams to its first address; another valid URL: the system log; anything
// else: a file path (Syslog::redirect).
void redirect_log(std::string_view target);

}  // namespace framework
