#include "common/wildcard.hpp"

namespace framework {

bool Wildcard::skip_while(std::string_view text, std::size_t& pos,
                          const std::function<bool(char)>& predicate) {
    while (pos < text.size()) {
        if (!predicate(text[pos])) return true;
        ++pos;
    }
    return false;
}

bool Wildcard::is_match(std::string_view mask, std::string_view text) {
    const std::size_t m = mask.size();
    const std::size_t t = text.size();
    // Position m of the mask and t of the text read as NUL terminators, which only match each
    // other; nothing beyond them is read.
    const auto mask_at = [&](std::size_t k) { return k < m ? mask[k] : '\0'; };
    const auto text_at = [&](std::size_t k) { return k < t ? text[k] : '\0'; };

    char c = '\0';
    const std::function<bool(char)> is_wild = [](char ch) { return ch == '*' || ch == '?'; };
    const std::function<bool(char)> differs = [&c](char ch) { return ch != c; };

    std::size_t i = 0;
    std::size_t j = 0;
    bool star = false;
    for (;;) {
        c = mask_at(i);
        if (c == '*') {
            if (!skip_while(mask, i, is_wild)) return true;  // the mask ends in wildcards
            c = mask[i];
            skip_while(text, j, differs);
            star = true;
        } else if (text_at(j) == c || c == '?') {
            ++i;
            ++j;
        } else if (!star || !skip_while(text, j, differs)) {
            if (star) j = t;
            return i == j && j == t;
        }
        if (j > t || i > m) return true;
    }
}

}  // namespace framework
