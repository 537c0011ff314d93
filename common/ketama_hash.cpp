#include "common/ketama_hash.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kPointsPerServer = 160;
constexpr std::size_t kDigestLength = 16;

using Digest = unsigned char[kDigestLength];

// MD5 (RFC 1321), written out here: through OpenSSL 3 each digest went through its provider
// machinery, whose first use alone loaded over a megabyte of the library into the router.
constexpr std::uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr unsigned kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t rotl(std::uint32_t x, unsigned n) { return x << n | x >> (32 - n); }

void md5_block(std::uint32_t state[4], const unsigned char* block) {
    std::uint32_t m[16];
    for (std::size_t i = 0; i < 16; ++i) m[i] = le32(block + i * 4);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned round = i / 16;
        std::uint32_t f;
        unsigned g;
        switch (round) {
            case 0: f = (b & c) | (~b & d); g = i; break;
            case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        const std::uint32_t next = b + rotl(a + f + kSines[i] + m[g], kShifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void digest(const void* data, std::size_t length, Digest out) {
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t rest = length;
    for (; rest >= 64; rest -= 64, bytes += 64) md5_block(state, bytes);
    // The tail, the 0x80 marker and the length in bits fill one or two last blocks.
    unsigned char tail[128] = {};
    std::memcpy(tail, bytes, rest);
    tail[rest] = 0x80;
    const std::size_t tail_size = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (std::size_t i = 0; i < 8; ++i) tail[tail_size - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t i = 0; i < tail_size; i += 64) md5_block(state, tail + i);
    for (std::size_t i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(state[i / 4] >> (8 * (i % 4)));
}

}  // namespace

void Ketama::add_server(std::string_view name, std::uint64_t weight) {
    if (name.empty()) return;
    servers.push_back(server_type{std::string(name), weight});
    total_weight += weight;
}

bool Ketama::create_continuum() {
    if (servers.empty()) return false;
    continuum.clear();
    // With nothing to share out there is nothing to place (and no quotient to take).
    if (total_weight == 0) return true;
    continuum.reserve(kPointsPerServer * servers.size());

    // The float arithmetic and its order are part of the ring's identity: other processes
    // must arrive at the very same point counts.
    const float count = static_cast<float>(servers.size());
    std::string label;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const server_type& server = servers[i];
        const float pct = static_cast<float>(server.weight) / static_cast<float>(total_weight);
        const auto ks = static_cast<std::uint32_t>(
            std::floor(static_cast<float>(pct * 40.0 * static_cast<double>(count))));
        for (std::uint32_t k = 0; k < ks; ++k) {
            char suffix[16];
            const int n = std::snprintf(suffix, sizeof suffix, "-%u", k);
            label.assign(server.name).append(suffix, static_cast<std::size_t>(n));
            Digest d;
            digest(label.data(), label.size(), d);
            for (std::size_t h = 0; h < 4; ++h)
                continuum.push_back(mcs_type{le32(d + h * 4), static_cast<std::int32_t>(i)});
        }
    }
    std::stable_sort(continuum.begin(), continuum.end(),
                     [](const mcs_type& a, const mcs_type& b) { return a.point < b.point; });
    return true;
}

std::uint32_t Ketama::hashi(const char* text, std::size_t length) const {
    Digest d;
    digest(text, length, d);
    return le32(d);
}

const Ketama::mcs_type* Ketama::get_continuum_point(std::string_view key) const {
    if (continuum.empty()) return nullptr;
    const std::uint32_t h = hashi(key.data(), key.size());
    const auto n = static_cast<std::int32_t>(continuum.size());
    std::int32_t low = 0;
    std::int32_t high = n;
    for (;;) {
        const std::int32_t mid = (low + high) / 2;
        // Past the last point the circle wraps around to the first.
        if (mid == n) return &continuum.front();
        const std::uint32_t cur = continuum[static_cast<std::size_t>(mid)].point;
        const std::uint32_t prev = mid == 0 ? 0 : continuum[static_cast<std::size_t>(mid) - 1].point;
        if (h <= cur && h > prev) return &continuum[static_cast<std::size_t>(mid)];
        if (cur < h)
            low = mid + 1;
        else
            high = mid - 1;
        if (low > high) return &continuum.front();
    }
}

std::string_view Ketama::get_server(std::string_view key) const {
    const mcs_type* point = get_continuum_point(key);
    if (point == nullptr || point->server < 0 ||
        static_cast<std::size_t>(point->server) >= servers.size())
        return {};
    return servers[static_cast<std::size_t>(point->server)].name;
}
