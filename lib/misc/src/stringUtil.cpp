#include "stringUtil.h"

#include <algorithm>
#include <cstddef>

namespace misc {

namespace {

// ASCII only: bytes of 0x80 and above are left alone whatever the locale says.
char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool lessNoCase(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        // Compare as unsigned bytes so that 8-bit characters sort after ASCII.
        const auto ca = static_cast<unsigned char>(upperAscii(a[i]));
        const auto cb = static_cast<unsigned char>(upperAscii(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperAscii(a[i]) != upperAscii(b[i]))
            return false;
    }
    return true;
}

bool endsWithNoCase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size())
        return false;
    return equalsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

bool isSpace(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            return true;
        default:
            return false;
    }
}

void trim(std::string& s) {
    const auto first = std::find_if_not(s.begin(), s.end(), isSpace);
    if (first == s.end())
        return;  // empty or all whitespace: left as it is
    const auto last = std::find_if_not(s.rbegin(), s.rend(), isSpace).base();
    s.erase(last, s.end());
    s.erase(s.begin(), first);
}

}  // namespace misc
