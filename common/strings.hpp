#pragma once
// Text comparisons shared by every layer.
#include <cctype>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace framework {

// Equal length and equal characters after upper-casing each in the global locale (the
// program never changes it, so only ASCII letters fold).
inline bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The same for a string view of another kind (Boost's), read through its data() and size():
// Beast's own comparison reads one byte past the end when the texts differ only in case.
template <class View>
    requires(!std::is_convertible_v<const View&, std::string_view>)
bool iequals(const View& a, std::string_view b) noexcept {
    return iequals(std::string_view(a.data(), a.size()), b);
}

}  // namespace framework
