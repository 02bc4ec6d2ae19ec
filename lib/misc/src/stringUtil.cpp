#include "stringUtil.h"

#include <algorithm>

namespace misc {

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
