#include "rules/jwt.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// Standard base64 of a text, with or without the '=' padding.
std::string b64(std::string_view in, bool pad = false) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += k[(v >> s) & 63];
    }
    size_t rest = in.size() - i;
    if (rest == 1) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += k[(v >> 18) & 63];
        out += k[(v >> 12) & 63];
        if (pad) out += "==";
    } else if (rest == 2) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += k[(v >> 18) & 63];
        out += k[(v >> 12) & 63];
        out += k[(v >> 6) & 63];
        if (pad) out += "=";
    }
    return out;
}

std::string token(std::string_view header, std::string_view payload, std::string_view sig = "sig",
                  bool pad = false) {
    return b64(header, pad) + "." + b64(payload, pad) + "." + b64(sig, pad);
}

TEST(Base64, DecodesGroupsAndStopsAtTheFirstForeignCharacter) {
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"QUJD", "ABC"},
        {"QUI", "AB"},
        {"QUI=", "AB"},
        {"QQ", "A"},
        {"Q", ""},
        {"", ""},
        {"QUJDQUJD", "ABCABC"},
        {"QUJD=QUJD", "ABC"},    // everything after '=' is ignored
        {"QUJD-QUJD", "ABC"},    // URL-safe characters end the text
        {"QUJD_QUJD", "ABC"},
        {"QUJD QUJD", "ABC"},
        {"QUJD.QUJD", "ABC"},
        {"+/+/", "\xfb\xff\xbf"},
        {"QUJD\xc3\xa9QUJD", "ABC"},  // bytes above 0x7f are outside the alphabet
        {"\xff\xfe", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Jwt::base64_decode(c.in), c.out) << c.in;
}

TEST(Base64, RoundTripsEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t len = 0; len <= all.size(); len += 37) {
        auto part = all.substr(0, len);
        EXPECT_EQ(Jwt::base64_decode(b64(part)), part);
        EXPECT_EQ(Jwt::base64_decode(b64(part, true)), part);
    }
}

struct TokenCase {
    const char* name;
    std::string token;
    bool valid;
    std::string error;  // expected get_last_error(); "*" means any non-empty text
};

class JwtTable : public ::testing::TestWithParam<TokenCase> {};

TEST_P(JwtTable, ChecksEnvelopeAndHeader) {
    const auto& c = GetParam();
    Jwt jwt(c.token);
    EXPECT_EQ(jwt.is_valid(), c.valid);
    if (c.error == "*")
        EXPECT_FALSE(jwt.get_last_error().empty());
    else
        EXPECT_EQ(jwt.get_last_error(), c.error);
    if (c.valid)
        EXPECT_EQ(jwt.get(), R"({"x":1})");
    else
        EXPECT_TRUE(jwt.get().empty());
    // Asking twice gives the same answer.
    EXPECT_EQ(jwt.is_valid(), c.valid);
}

const std::string kPayload = R"({"x":1})";

INSTANTIATE_TEST_SUITE_P(
    Tokens, JwtTable,
    ::testing::Values(
        TokenCase{"AlgNone", token(R"({"alg":"none"})", kPayload), true, ""},
        TokenCase{"AlgUpper", token(R"({"alg":"NONE"})", kPayload), true, ""},
        TokenCase{"TypLower", token(R"({"typ":"jwt","alg":"None"})", kPayload), true, ""},
        TokenCase{"EmptyTyp", token(R"({"typ":"","alg":"none"})", kPayload), true, ""},
        TokenCase{"Padded", token(R"({"alg":"none"})", kPayload, "s", true), true, ""},
        TokenCase{"EmptySignature", b64(R"({"alg":"none"})") + "." + b64(kPayload) + ".", true,
                  ""},
        TokenCase{"TwoParts", b64(R"({"alg":"none"})") + "." + b64(kPayload), false, ""},
        TokenCase{"FourParts", token(R"({"alg":"none"})", kPayload) + ".x", false, ""},
        TokenCase{"EmptyMiddle", b64(R"({"alg":"none"})") + "..x", false, ""},
        TokenCase{"EmptyHeader", "." + b64(kPayload) + ".x", false, ""},
        TokenCase{"Empty", "", false, ""},
        TokenCase{"TypJws", token(R"({"typ":"JWS","alg":"none"})", kPayload), false,
                  "in token header field 'typ' is JWS but expected JWT"},
        TokenCase{"AlgHs256", token(R"({"typ":"JWT","alg":"HS256"})", kPayload), false,
                  "encryption algorithm HS256 is not supported for route token"},
        TokenCase{"AlgEmpty", token(R"({"alg":""})", kPayload), false,
                  "encryption algorithm  is not supported for route token"},
        TokenCase{"NoAlg", token(R"({"typ":"JWT"})", kPayload), false, "*"},
        TokenCase{"AlgNumber", token(R"({"alg":1})", kPayload), false, "*"},
        TokenCase{"TypNumber", token(R"({"typ":1,"alg":"none"})", kPayload), false, "*"},
        TokenCase{"HeaderArray", token(R"(["alg"])", kPayload), false, "*"},
        TokenCase{"HeaderTrailing", token(R"({"alg":"none"} x)", kPayload), false, "*"},
        TokenCase{"HeaderNotJson", token("alg", kPayload), false, "*"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Jwt, LibraryMessagesNameTheProblem) {
    Jwt no_alg(token(R"({"typ":"JWT"})", kPayload));
    EXPECT_FALSE(no_alg.is_valid());
    EXPECT_NE(no_alg.get_last_error().find("'alg'"), std::string_view::npos);

    // A URL-safe part is cut at its first '-' or '_': the header is then incomplete JSON.
    std::string header = b64(R"({"alg":"none","x":"~~~~~~"})");
    ASSERT_NE(header.find_first_of("+/"), std::string::npos);
    for (auto& ch : header) ch = ch == '+' ? '-' : ch == '/' ? '_' : ch;
    Jwt url_safe(header + "." + b64(kPayload) + ".x");
    EXPECT_FALSE(url_safe.is_valid());
    EXPECT_NE(url_safe.get_last_error().find("parse error"), std::string_view::npos);
}

TEST(Jwt, SignatureIsTheThirdPartOrEmpty) {
    EXPECT_EQ(Jwt(token(R"({"alg":"none"})", kPayload, "abc")).get_signature(), "abc");
    EXPECT_EQ(Jwt("a.b").get_signature(), "");
    EXPECT_EQ(Jwt("").get_signature(), "");
    EXPECT_EQ(Jwt("abc").get_signature(), "");
}

}  // namespace
