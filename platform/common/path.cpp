#include "platform/path.h"

#include "platform/codePage.h"

namespace platform {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Where the text after the last separator starts (0 without one). A forward scan: only there can a
// double-byte character's trail byte, which may be 0x5C, be told from a separator.
std::size_t afterLastSeparator(std::string_view path) {
    std::size_t after = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (isLeadByte(path[i]) && i + 1 < path.size()) {
            ++i;
        } else if (isSeparator(path[i])) {
            after = i + 1;
        }
    }
    return after;
}

}  // namespace

PathParts splitPath(std::string_view path) {
    PathParts parts;
    if (path.size() >= 2 && path[1] == ':') {
        parts.drive = std::string(path.substr(0, 2));
        path.remove_prefix(2);
    }
    const std::size_t nameStart = afterLastSeparator(path);
    parts.directory = std::string(path.substr(0, nameStart));
    const std::string_view file = path.substr(nameStart);
    const std::size_t dot = file.rfind('.');
    if (dot == std::string_view::npos) {
        parts.name = std::string(file);
    } else {
        parts.name = std::string(file.substr(0, dot));
        parts.extension = std::string(file.substr(dot));
    }
    return parts;
}

std::string makePath(std::string_view drive, std::string_view directory, std::string_view name,
                     std::string_view extension) {
    std::string path;
    path.reserve(drive.size() + directory.size() + name.size() + extension.size() + 3);
    if (!drive.empty()) {
        path += drive.front();
        path += ':';
    }
    if (!directory.empty()) {
        path += directory;
        if (afterLastSeparator(directory) != directory.size()) {
            path += '\\';
        }
    }
    path += name;
    if (!extension.empty()) {
        if (extension.front() != '.') {
            path += '.';
        }
        path += extension;
    }
    return path;
}

}  // namespace platform
