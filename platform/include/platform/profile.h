// Private-profile (INI file) reading.
//
// Section and key names match regardless of ASCII letter case and of blanks around them. Only the
// first section of a given name is searched and the first of duplicate keys wins. Lines starting
// with ';' are comments; a line without '=' or with an empty name before it is not a key, nor is
// a line before the first section header; CR LF, LF and a lone CR end a line; a ';' inside a
// value belongs to it. A UTF-8 byte order mark at the start of the file: the POSIX reader skips it,
// as Wine's functions do; Windows' own do not, so there the first line is no section header and
// the file's first section is lost.
// Values lose surrounding blanks and one pair of matching single or double quotation marks. The
// end-of-file byte 0x1A counts as a blank.
//
// `path` is the file's path; a bare file name names a file in the current directory.
// Every call reads the file afresh; nothing is cached. Safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Copies the value of `key` in `section` of the file at `path` into `buffer` (of `size` bytes),
// zero-terminated. When the file, section or key is missing, `defaultValue` without its trailing
// blanks is copied instead. A text that does not fit is cut to size - 1 bytes.
// With `key` null, copies the names of all keys of the section in file order, each ended by a zero
// byte, the list ended by an empty name; a list that does not fit is cut so that it still ends
// in two zero bytes, and the result is then size - 2. With `section` null, the same for the names
// of all sections. The list forms do not use `defaultValue`: a missing section lists nothing.
// Returns the number of bytes copied, not counting the final terminator. size 0 copies nothing.
std::size_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, std::size_t size, const std::string& path);

// Returns the integer that the key's value begins with, read as a decimal number (an optional sign,
// then digits); 0 when the value does not begin with a number; `defaultValue` when the file,
// section or key is missing (or `section` or `key` is null). The number wraps modulo 2^32:
// "4294967297" reads 1, "2147483648" reads INT_MIN.
int getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                         const std::string& path);

}  // namespace platform
