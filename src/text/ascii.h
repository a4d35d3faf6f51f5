#pragma once
// ASCII letters without regard to case, for char and wchar_t text alike.
// Entry names, script words, command-line options and drive letters compare
// this way whatever the system's locale says: only A to Z fold, every other
// code unit (bytes above 0x7F, non-ASCII UTF-16) stays as it is.
#include <string>
#include <string_view>
#include <type_traits>

namespace veltrin::text {

template <typename Char>
constexpr Char LowerAscii(Char c) noexcept {
    if (c < static_cast<Char>('A') || c > static_cast<Char>('Z')) return c;
    return static_cast<Char>(c - static_cast<Char>('A') + static_cast<Char>('a'));
}

namespace detail {

template <typename Char>
std::basic_string<Char> FoldAscii(std::basic_string_view<Char> text) {
    std::basic_string<Char> folded(text);
    for (Char& c : folded) c = LowerAscii(c);
    return folded;
}

template <typename Char>
constexpr bool EqualIgnoringAsciiCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// Code units compare as unsigned numbers, so that a byte above 0x7F sorts
// after every ASCII one whatever the signedness of char.
template <typename Char>
constexpr bool LessIgnoringAsciiCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) noexcept {
    using Unit = std::make_unsigned_t<Char>;
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<Unit>(LowerAscii(a[i]));
        const auto y = static_cast<Unit>(LowerAscii(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace detail

// The text with A to Z made a to z.
inline std::string FoldAscii(std::string_view text) { return detail::FoldAscii(text); }
inline std::wstring FoldAscii(std::wstring_view text) { return detail::FoldAscii(text); }

// Whether the two are the same text once A to Z are folded.
constexpr bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
    return detail::EqualIgnoringAsciiCase(a, b);
}
constexpr bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) noexcept {
    return detail::EqualIgnoringAsciiCase(a, b);
}

// Whether a comes before b in the order of their folded code units (a
// prefix first).
constexpr bool LessIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
    return detail::LessIgnoringAsciiCase(a, b);
}
constexpr bool LessIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) noexcept {
    return detail::LessIgnoringAsciiCase(a, b);
}

}  // namespace veltrin::text
