// Private-profile reading with the system's own functions.
#include <windows.h>

#include <algorithm>
#include <limits>

#include "platform/profile.h"

namespace platform {

namespace {

// The system looks for a bare file name in the Windows directory; here, as for every other file
// the plug-in opens, it names a file in the current directory.
std::string systemPath(const std::string& path) {
    if (path.find_first_of("\\/") == std::string::npos && !(path.size() >= 2 && path[1] == ':')) {
        return ".\\" + path;
    }
    return path;
}

}  // namespace

std::size_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, std::size_t size, const std::string& path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const DWORD capacity =
        static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
    return GetPrivateProfileStringA(section, key, defaultValue != nullptr ? defaultValue : "",
                                    buffer, capacity, systemPath(path).c_str());
}

int getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                         const std::string& path) {
    if (section == nullptr || key == nullptr) {
        return defaultValue;
    }
    // The system's result is the value's 32 bits; as a signed number it is what was written.
    return static_cast<int>(
        GetPrivateProfileIntA(section, key, defaultValue, systemPath(path).c_str()));
}

}  // namespace platform
