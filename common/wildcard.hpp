#pragma once
// Matching of a text against a mask in which '*' stands for any run of characters and '?' for
// any one character. The proxy tries each location mask against the request target in turn.
//
// One pass over mask and text, no backtracking, no allocation. After a '*' only the first
// occurrence of the next literal mask character is sought. The rules at the ends differ from a
// textbook glob and are relied upon by existing location tables:
//   - '?' also matches the end of the text ("ab?" matches "ab");
//   - a text that stops early matches while the mask and text positions are equal at that point,
//     so a prefix of a mask without '*' matches it ("/api/*" matches "/ap" and "/").
#include <cstddef>
#include <functional>
#include <string_view>

namespace framework {

class Wildcard {
public:
    static bool is_match(std::string_view mask, std::string_view text);

    // Advances `pos` while it is inside `text` and `predicate` holds for the character there.
    // True when it stopped on a character for which the predicate is false (`pos` points at it);
    // false when it reached the end of `text`, also when `pos` already was at or past it.
    static bool skip_while(std::string_view text, std::size_t& pos,
                           const std::function<bool(char)>& predicate);
};

}  // namespace framework
