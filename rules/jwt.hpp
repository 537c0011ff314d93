#pragma once
// The envelope of a route token: three dot-separated base64 parts (header, payload,
// signature). Only the header is checked: it must declare the algorithm "none", and the
// signature part is never examined, so a token carries no cryptographic proof. Built per
// request on the calling thread and never shared.
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

class Jwt {
public:
    // Splits `token` at every '.' (empty pieces kept) and, when there are exactly three
    // pieces, decodes each of them. Throws nothing of its own.
    explicit Jwt(std::string_view token);

    // Standard-alphabet base64; reading stops at the end, at the first '=' or at the first
    // character outside the alphabet, and whatever follows is ignored.
    static std::string base64_decode(std::string_view text);

    // The decoded header as JSON; throws the JSON library's parse error when it is not JSON.
    nlohmann::json get_header() const;
    // The header check: "alg" must be "none" and "typ", when given, "JWT" (case ignored).
    // On failure the reason is in get_last_error().
    bool is_signature_valid() const;
    // Three parts, a non-empty header and payload (these set no error text), then the
    // header check.
    bool is_valid() const;
    // The decoded payload of a valid token, or an empty view.
    std::string_view get() const;
    // The decoded third part; empty when the token did not have three parts.
    std::string_view get_signature() const;
    std::string_view get_last_error() const { return last_error; }

private:
    // The three decoded parts, or the raw pieces when there were not three.
    std::vector<std::string> parts;
    mutable std::string last_error;
    // is_valid() is asked by the rule and again by get(); the answer never changes, so it
    // is worked out once (0 unknown, 1 valid, 2 invalid).
    mutable int validity = 0;
};
