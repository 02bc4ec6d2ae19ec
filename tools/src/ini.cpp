#include "ini.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/profile.h"
#include "textEscape.h"

namespace tools {
namespace {

// The profile reader reports a cut value only by filling the buffer, so the buffer grows by this
// step until the value fits.
constexpr std::size_t kReadStep = 4096;

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Unlike the general-purpose trim, an all-whitespace value becomes empty here, so that a setting
// of blanks reads as not set.
std::string trimmed(const std::string& text) {
    std::size_t first = 0;
    while (first < text.size() && isWhitespace(text[first])) {
        ++first;
    }
    std::size_t last = text.size();
    while (last > first && isWhitespace(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

}  // namespace

std::string getIniString(const std::string& path, const std::string& section,
                         const std::string& key, const std::string& defaultValue, bool trim) {
    std::vector<char> buffer;
    std::size_t count = 0;
    do {
        buffer.resize(buffer.size() + kReadStep);
        count = platform::getPrivateProfileString(
            section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(), buffer.size(), path);
    } while (count >= buffer.size() - 1);
    // The value ends at its first zero byte, as the profile reader's text does.
    const auto valueEnd =
        std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count), '\0');
    const std::string raw(buffer.begin(), valueEnd);
    const std::string decoded = text::percentDecode(raw);
    return trim ? trimmed(decoded) : decoded;
}

std::vector<std::string> getIniSectionNames(const std::string& path) {
    std::vector<char> buffer;
    std::size_t offered = 0;
    std::size_t count = 0;
    do {
        buffer.assign(buffer.empty() ? kReadStep : buffer.size() * 2, '\0');
        // The last byte is never offered: Wine may cut a full list without its second zero byte.
        offered = buffer.size() - 1;
        count = platform::getPrivateProfileString(nullptr, nullptr, "", buffer.data(), offered,
                                                  path);
        // A cut list reports offered - 2; a list that just fits does too, and is read again.
    } while (count + 2 >= offered);
    std::vector<std::string> names;
    for (std::size_t at = 0; at < count && buffer[at] != '\0';) {
        names.emplace_back(buffer.data() + at);
        at += names.back().size() + 1;
    }
    return names;
}

bool getIniBool(const std::string& path, const std::string& section, const std::string& key,
                bool defaultValue) {
    return platform::getPrivateProfileInt(section.c_str(), key.c_str(), defaultValue ? 1 : 0,
                                          path) != 0;
}

}  // namespace tools
