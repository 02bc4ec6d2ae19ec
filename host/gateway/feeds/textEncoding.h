// Text encodings met on the way from the plug-in to a feed reader. The plug-in writes 8-bit text:
// its item texts are ISO-8859-1 (it reduces the web service's UTF-8 to Latin-1), while the
// channel's own values (title, description, links) are copied byte for byte from the INI file,
// which is UTF-8 on most systems today and Windows-1252 on older Windows ones. Everything the
// gateway serves is UTF-8.
//
// Plain functions without shared state; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace host::feeds {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Appends the UTF-8 form of `codePoint` (at most U+10FFFF; larger values become U+FFFD).
void appendUtf8(std::string& out, char32_t codePoint);

// Every byte is the code point of the same value.
std::string latin1ToUtf8(std::string_view latin1);

// Windows-1252: as Latin-1, except 0x80-0x9F, which mostly hold typographic characters (the five
// bytes Windows leaves undefined there keep their Latin-1 meaning, as Windows itself decodes them).
std::string windows1252ToUtf8(std::string_view bytes);

// A value written in the INI file: kept as it is when it is valid UTF-8, else read as
// Windows-1252. Pure ASCII reads the same either way.
std::string iniValueToUtf8(std::string_view bytes);

}  // namespace host::feeds
