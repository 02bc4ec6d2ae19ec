// The system's multi-byte code page, as far as paths need it. Safe from any thread.
#pragma once

namespace platform {

// Whether `c` starts a two-byte character in the ANSI code page (Windows' double-byte code pages,
// such as 932), so that the byte after it, which may be 0x5C, is no path separator. Always false
// on POSIX: names are bytes there, and in UTF-8 no byte of a multi-byte character is ASCII.
bool isLeadByte(char c);

}  // namespace platform
