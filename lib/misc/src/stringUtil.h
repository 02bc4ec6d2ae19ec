// Case-insensitive string helpers shared by the name maps, the template processor and the HTML
// stripper. Only ASCII letters are folded; all text is 8-bit.
#pragma once

#include <string>
#include <string_view>

namespace misc {

// Character-by-character comparison of the upper-case forms; a proper prefix is less.
bool lessNoCase(std::string_view a, std::string_view b);

// Ordering functor over lessNoCase, for maps and sets whose keys differ only in letter case.
struct LessNoCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return lessNoCase(a, b); }
};

bool equalsNoCase(std::string_view a, std::string_view b);

// False when `s` is shorter than `suffix`; otherwise whether `s` ends with `suffix` ignoring case.
bool endsWithNoCase(std::string_view s, std::string_view suffix);

// Whitespace: space, tab, line feed, vertical tab, form feed, carriage return. Bytes of 0x80 and
// above are never whitespace.
bool isSpace(char c);

// Removes leading and trailing whitespace in place. An empty or all-whitespace string is left
// unchanged.
void trim(std::string& s);

}  // namespace misc
