#include "common/ketama_hash.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

constexpr std::size_t kPointsPerServer = 160;
constexpr std::size_t kDigestLength = 16;

using Digest = unsigned char[kDigestLength];

// The digest algorithm is fetched once and each thread keeps its own context, so a look-up
// does not pay for the provider look-up nor for a context of its own.
const EVP_MD* md5() {
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
        EVP_MD_fetch(nullptr, "MD5", nullptr), &EVP_MD_free);
    return md.get();
}

void digest(const void* data, std::size_t length, Digest out) {
    thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned int size = 0;
    const EVP_MD* md = md5();
    if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, length) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out, &size) != 1 || size != kDigestLength)
        throw std::runtime_error("ketama: MD5 is not available");
}

std::uint32_t le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
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
