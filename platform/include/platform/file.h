// What a path names, asked of the system by the name as the file functions take it: bytes on
// POSIX, the ANSI code page on Windows (std::filesystem would convert a narrow name otherwise
// there). Safe from any thread.
#pragma once

#include <string>

namespace platform {

enum class FileKind { Missing, Regular, Directory, Other };

// Missing also when the path cannot be examined (no permission on a directory on the way).
FileKind fileKind(const std::string& path);

}  // namespace platform
