// Letter-case-blind comparison of 8-bit text, for INI names, HTTP header names and tokens, tag
// names and template markers. Only the ASCII letters are folded, whatever the locale: a byte of
// 0x80 or above matches only itself.
//
// Plain functions without state; safe from any thread. Nothing is kept of the arguments.
#pragma once

#include <string_view>

namespace text {

bool equalsNoCase(std::string_view a, std::string_view b);

// False when `s` is shorter than `prefix` (or `suffix`); otherwise whether it starts (ends) with
// it, letter case ignored.
bool startsWithNoCase(std::string_view s, std::string_view prefix);
bool endsWithNoCase(std::string_view s, std::string_view suffix);

// Byte-by-byte comparison of the upper-case forms as unsigned bytes; a proper prefix is less. The
// upper-case form decides where '_' and the other bytes between 'Z' and 'a' sort.
bool lessNoCase(std::string_view a, std::string_view b);

// Ordering functor over lessNoCase, for maps and sets whose keys differ only in letter case.
struct LessNoCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return lessNoCase(a, b); }
};

}  // namespace text
