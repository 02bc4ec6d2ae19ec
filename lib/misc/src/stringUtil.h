// Whitespace helpers for 8-bit text. (Letter-case-blind comparison lives in the text library.)
#pragma once

#include <string>

namespace misc {

// Whitespace: space, tab, line feed, vertical tab, form feed, carriage return. Bytes of 0x80 and
// above are never whitespace.
bool isSpace(char c);

// Removes leading and trailing whitespace in place. An empty or all-whitespace string is left
// unchanged.
void trim(std::string& s);

}  // namespace misc
