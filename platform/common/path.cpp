#include "platform/path.h"

namespace platform {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

PathParts splitPath(std::string_view path) {
    PathParts parts;
    if (path.size() >= 2 && path[1] == ':') {
        parts.drive = std::string(path.substr(0, 2));
        path.remove_prefix(2);
    }
    std::size_t nameStart = 0;
    for (std::size_t i = path.size(); i > 0; --i) {
        if (isSeparator(path[i - 1])) {
            nameStart = i;
            break;
        }
    }
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
        if (!isSeparator(directory.back())) {
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
