// Path splitting and joining with the run-time library's drive/directory/name/extension rules.
//
// Both '/' and '\' are separators. Strings of any length are handled; nothing is cut.
#pragma once

#include <string>
#include <string_view>

namespace platform {

struct PathParts {
    std::string drive;      // "C:" or empty
    std::string directory;  // everything up to and including the last separator, or empty
    std::string name;       // file name without extension
    std::string extension;  // from the last '.' of the file name on, dot included, or empty
};

PathParts splitPath(std::string_view path);

// Joins the parts: a drive without its colon gets one; a non-empty directory that does not end in a
// separator gets a backslash; an extension without its leading dot gets one.
std::string makePath(std::string_view drive, std::string_view directory, std::string_view name,
                     std::string_view extension);

}  // namespace platform
