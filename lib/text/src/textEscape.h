// Hexadecimal digits, percent encoding and the log-safe rendering of bytes.
//
// Percent decoding comes in the two forms the system needs: the lenient one of the INI values and
// file URLs, which leaves a '%' that does not start an escape as it is, and the strict one of
// request paths and queries, which refuses such a text as a whole.
//
// Plain functions without state; safe from any thread. None throws but std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace text {

// 0-15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other byte.
int hexValue(char c);

// Appends the byte as two upper-case hexadecimal digits.
void appendHexByte(std::string& out, unsigned char byte);

// Every byte but the unreserved ones (letters, digits and "-._~") as %XX: a path segment, a query
// value.
std::string percentEncode(std::string_view bytes);

// What the lenient decoding does with %00.
enum class ZeroByte {
    decode,       // becomes a zero byte like any other escape
    keepEscaped,  // stays "%00" (a file name holds no zero byte)
};

// Lenient, in one pass from the left: '%' and two hex digits become that byte; any other '%'
// stays. A decoded '%' does not start another escape. '+' stays '+'.
std::string percentDecode(std::string_view text, ZeroByte zero = ZeroByte::decode);

// Strict: nothing when any '%' is not followed by two hex digits. %00 is a zero byte; '+' stays.
std::optional<std::string> percentDecodeStrict(std::string_view text);

// The text for one log line: control bytes, bytes of 0x7F and above, '"' and '\' as \xHH, so that
// what a peer or a file sent can neither break the line nor pass as the logger's own quoting.
std::string printable(std::string_view text);

}  // namespace text
