#include "rules/jwt.hpp"

#include <array>
#include <cctype>
#include <cstdint>
#include <exception>

#include "common/strings.hpp"

namespace {

constexpr int8_t kNotBase64 = -1;

constexpr std::array<int8_t, 256> make_table() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = kNotBase64;
    for (int i = 0; i < 26; ++i) {
        t['A' + i] = static_cast<int8_t>(i);
        t['a' + i] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(52 + i);
    t['+'] = 62;
    t['/'] = 63;
    return t;
}

// Indexed by the byte as unsigned, so bytes above 0x7f are simply outside the alphabet.
constexpr std::array<int8_t, 256> kDecode = make_table();

}  // namespace

Jwt::Jwt(std::string_view token) {
    parts.reserve(3);
    size_t start = 0;
    for (;;) {
        size_t dot = token.find('.', start);
        if (dot == std::string_view::npos) {
            parts.emplace_back(token.substr(start));
            break;
        }
        parts.emplace_back(token.substr(start, dot - start));
        start = dot + 1;
    }
    if (parts.size() == 3)
        for (auto& p : parts) p = base64_decode(p);
}

std::string Jwt::base64_decode(std::string_view text) {
    // Decoded straight into the result: one allocation, no scratch copy.
    std::string out;
    out.resize(text.size() / 4 * 3 + 3);
    size_t n = 0;
    uint32_t bits = 0;
    int k = 0;  // characters in the current group
    for (char ch : text) {
        int8_t v = kDecode[static_cast<unsigned char>(ch)];
        if (v == kNotBase64) break;  // '=' is outside the alphabet too
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++k == 4) {
            out[n++] = static_cast<char>(bits >> 16);
            out[n++] = static_cast<char>(bits >> 8);
            out[n++] = static_cast<char>(bits);
            bits = 0;
            k = 0;
        }
    }
    if (k == 2) {
        out[n++] = static_cast<char>(bits >> 4);
    } else if (k == 3) {
        out[n++] = static_cast<char>(bits >> 10);
        out[n++] = static_cast<char>(bits >> 2);
    }
    out.resize(n);
    return out;
}

nlohmann::json Jwt::get_header() const {
    return nlohmann::json::parse(parts.empty() ? std::string_view() : std::string_view(parts[0]));
}

bool Jwt::is_signature_valid() const {
    try {
        const auto header = get_header();
        const auto typ = header.value("typ", std::string());
        if (!typ.empty() && !framework::iequals(typ, "JWT")) {
            last_error = "in token header field 'typ' is " + typ + " but expected JWT";
            return false;
        }
        const auto alg = header.at("alg").get<std::string>();
        if (!framework::iequals(alg, "none")) {
            last_error = "encryption algorithm " + alg + " is not supported for route token";
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        last_error = e.what();
    } catch (...) {
        last_error = "unknow error";
    }
    return false;
}

bool Jwt::is_valid() const {
    if (validity == 0) {
        bool ok = parts.size() == 3 && !parts[0].empty() && !parts[1].empty() &&
                  is_signature_valid();
        validity = ok ? 1 : 2;
    }
    return validity == 1;
}

std::string_view Jwt::get() const {
    return is_valid() ? std::string_view(parts[1]) : std::string_view();
}

std::string_view Jwt::get_signature() const {
    return parts.size() == 3 ? std::string_view(parts[2]) : std::string_view();
}
