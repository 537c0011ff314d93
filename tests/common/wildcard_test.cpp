#include "common/wildcard.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using framework::Wildcard;

struct MatchCase {
    std::string mask;
    std::string text;
    bool match;
};

// The odd answers at the ends of the texts are deliberate: location tables depend on them.
const std::vector<MatchCase> kMatchCases = {
    {"abc", "abc", true},
    {"abc", "abcd", false},
    {"abc", "ab", true},  // a prefix of a mask without '*' matches
    {"abc", "", true},
    {"a?c", "abc", true},
    {"ab?", "ab", true},  // '?' matches the end of the text
    {"?", "", true},
    {"a*c", "abbc", true},
    {"a*b", "axxb", true},
    {"a*b", "abxb", false},  // no backtracking: the '*' took only up to the first b
    {"/api/*", "/api/x", true},
    {"/api/*", "/ap", true},
    {"/api/*", "/", true},
    {"/api/*", "/apx", false},
    {"/api/*", "/other", false},
    {"*", "", true},
    {"*", "anything at all", true},
    {"a*", "b", false},
    {"*.js", "/x/y.js", true},
    {"*.js", "/x/y.json", false},
    {"/api/*/users", "/api/x/users", true},
    {"/api/*/users", "/api/xy/users?z=1", false},
    {"a*bcd", "axbc", true},  // the text ended where the mask position equals its length
    {"a*bcd", "axxbc", false},
    {"", "", true},
    {"", "a", false},
    {"a**?", "a", true},  // the '?' after a '*' is swallowed with it, then the mask ends
    {"*x", "abc", false},
    {"a?c", "a", true},
    {"/static/*", "/static/css/site.css?v=2", true},
};

TEST(Wildcard, IsMatchTable) {
    for (const MatchCase& c : kMatchCases)
        EXPECT_EQ(Wildcard::is_match(c.mask, c.text), c.match)
            << "mask '" << c.mask << "' text '" << c.text << "'";
}

TEST(Wildcard, ReadsNothingPastTheViews) {
    // Views into larger buffers: the characters just past their ends must not take part.
    const std::string buffer = "abcXYZ";
    EXPECT_TRUE(Wildcard::is_match("abc", std::string_view(buffer.data(), 3)));
    EXPECT_FALSE(Wildcard::is_match(std::string_view(buffer.data(), 2), "abc"));
}

TEST(Wildcard, SkipWhile) {
    const auto not_slash = [](char ch) { return ch != '/'; };
    struct Case {
        std::string text;
        std::size_t from;
        bool stopped;
        std::size_t pos;
    };
    const std::vector<Case> cases = {
        {"ab/c", 0, true, 2},   // stops on the '/'
        {"ab/c", 2, true, 2},   // already on it
        {"abc", 0, false, 3},   // runs to the end
        {"abc", 3, false, 3},   // starts at the end
        {"abc", 7, false, 7},   // starts past the end: untouched
        {"", 0, false, 0},
    };
    for (const Case& c : cases) {
        std::size_t pos = c.from;
        EXPECT_EQ(Wildcard::skip_while(c.text, pos, not_slash), c.stopped) << c.text << c.from;
        EXPECT_EQ(pos, c.pos) << c.text << " from " << c.from;
    }
}

}  // namespace
