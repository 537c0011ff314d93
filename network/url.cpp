#include "network/url.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/strings.hpp"
#include "common/syslog.hpp"

namespace framework {
namespace {

bool iequals_prefix(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// The port's value as strtol reads it, but only from a leading digit and only when it
// fits a TCP/UDP port; 0 otherwise.
int port_value(const std::string& port) {
    if (port.empty() || !std::isdigit(static_cast<unsigned char>(port[0]))) return 0;
    errno = 0;
    const long value = std::strtol(port.c_str(), nullptr, 10);
    if (errno == ERANGE || value < 1 || value > 65535) return 0;
    return static_cast<int>(value);
}

}  // namespace

boost::asio::ip::tcp::endpoint Url::endpoint(const sockaddr_in& address) {
    return {boost::asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

std::string_view Url::parse_proto(std::string_view rest) {
    port.clear();
    proto = 0;
    for (const Protocol& row : k_protocols) {
        // Each scheme needs at least one character after its "://".
        if (rest.size() < row.scheme.size() + 4) continue;
        if (!iequals_prefix(rest, row.scheme)) continue;
        rest.remove_prefix(row.scheme.size());
        if (rest.substr(0, 3) != "://") return {};
        proto = row.id;
        if (proto == kHttp || proto == kHttps) proto |= kTcp;
        port = row.default_port;
        return rest.substr(3);
    }
    return {};
}

bool Url::is_valid() const {
    return proto != 0 && (!host.empty() || !address.empty()) && port_value(port) != 0;
}

bool Url::parse(std::string_view input) {
    text = input;
    host.clear();
    address.clear();
    path.clear();
    addr = {};
    addrs.clear();

    std::string_view rest = parse_proto(text);
    if (rest.empty()) return false;

    size_t stop = 0;
    size_t colon = std::string_view::npos;
    for (; stop < rest.size() && rest[stop] != '/'; ++stop) {
        if (rest[stop] == ':') colon = stop;
    }
    if (colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1, stop - colon - 1);
    }
    if (host.empty()) host = rest.substr(0, stop);
    path = rest.substr(stop);

    const int port_number = port_value(port);
    if (proto == 0 || host.empty() || port_number == 0) return false;

    const uint16_t net_port = htons(static_cast<uint16_t>(port_number));
    in_addr literal{};
    const bool is_literal = ::inet_pton(AF_INET, host.c_str(), &literal) == 1;
    if (is_literal) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = net_port;
        sa.sin_addr = literal;
        addrs.push_back(sa);
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
        addrinfo* result = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0) {
            for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
                if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
                sockaddr_in sa;
                std::memcpy(&sa, ai->ai_addr, sizeof(sa));
                sa.sin_port = net_port;
                bool seen = false;
                for (const sockaddr_in& known : addrs)
                    seen = seen || known.sin_addr.s_addr == sa.sin_addr.s_addr;
                if (!seen) addrs.push_back(sa);
            }
            ::freeaddrinfo(result);
        }
    }
    if (addrs.empty()) return is_valid();  // unresolved: still valid, no address

    addr = addrs.front();
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof(dotted));
    address = dotted;

    if (is_literal) {
        host.clear();
        char name[NI_MAXHOST] = {};
        if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof(addr), name,
                          sizeof(name), nullptr, 0, NI_NAMEREQD) == 0 &&
            ::strcasecmp(name, "localhost") != 0) {
            host = name;
        }
    }
    return is_valid();
}

std::string Url::encode(std::string_view input) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(input.size());
    for (const char ch : input) {
        switch (ch) {
            case ' ':
            case '~':
            case '"':
            case '>':
            case '<':
            case '%':
            case '\0': {
                const auto byte = static_cast<unsigned char>(ch);
                out += '%';
                out += kHex[byte >> 4];
                out += kHex[byte & 0x0F];
                break;
            }
            default:
                out += ch;
        }
    }
    return out;
}

void redirect_log(std::string_view target) {
    const Url url(target);
    if (target.empty() || !url.is_valid()) {
        Syslog::redirect(target);
    } else if ((url.proto & Url::kUdp) != 0 && !url.addrs.empty()) {
        Syslog::redirect(url.addrs.front());
    } else {
        // An unresolved udp host keeps the system log rather than a sink that drops all.
        Syslog::redirect_to_system_log();
    }
}

}  // namespace framework
