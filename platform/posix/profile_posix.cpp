// Private-profile reading: a single forward pass over the file, line by line, that stops as soon
// as the answer is known. Lines may be of any length; only the current line is held in memory.
#include "platform/profile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "textCase.h"

namespace platform {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

// The end-of-file byte 0x1A (Ctrl-Z), which old editors leave at the end of a text file, counts
// as a blank, as it does for the Windows functions.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view trimTrailingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits a file into lines ended by CR LF, LF or a lone CR, skipping a UTF-8 byte order mark at
// the start. A file that cannot be opened or read has no (further) lines.
class LineReader {
  public:
    explicit LineReader(const std::string& path) : in_(path, std::ios::binary), chunk_(kChunkSize) {
        fill();
        if (end_ >= 3 && std::memcmp(chunk_.data(), "\xEF\xBB\xBF", 3) == 0) {
            pos_ = 3;
        }
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Puts the next line, without its end, into `line`; false when the file has no more lines.
    bool next(std::string& line) {
        line.clear();
        bool sawAny = false;
        for (;;) {
            if (pos_ == end_ && !fill()) {
                return sawAny;
            }
            if (afterCr_) {
                afterCr_ = false;
                if (chunk_[pos_] == '\n') {
                    ++pos_;
                    continue;
                }
            }
            sawAny = true;
            const char* begin = chunk_.data() + pos_;
            const char* end = chunk_.data() + end_;
            const char* stop =
                std::find_if(begin, end, [](char c) { return c == '\r' || c == '\n'; });
            line.append(begin, stop);
            pos_ = static_cast<std::size_t>(stop - chunk_.data());
            if (stop != end) {
                afterCr_ = *stop == '\r';
                ++pos_;
                return true;
            }
        }
    }

  private:
    bool fill() {
        pos_ = 0;
        end_ = 0;
        if (!in_) {
            return false;
        }
        in_.read(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
        end_ = static_cast<std::size_t>(std::max<std::streamsize>(in_.gcount(), 0));
        return end_ > 0;
    }

    std::ifstream in_;
    std::vector<char> chunk_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool afterCr_ = false;  // the last line ended with CR: a following LF belongs to it
};

struct ProfileLine {
    enum class Kind { other, section, key };
    Kind kind = Kind::other;
    std::string_view name;   // section or key name, without surrounding blanks
    std::string_view value;  // key value, without surrounding blanks and one pair of quotes
};

ProfileLine classify(std::string_view line) {
    line = trimBlanks(line);
    if (line.empty() || line.front() == ';') {
        return {};
    }
    if (line.front() == '[') {
        // Text after the closing bracket is ignored; a missing bracket closes at the line's end.
        std::string_view name = line.substr(1);
        name = name.substr(0, name.find(']'));
        return {ProfileLine::Kind::section, trimBlanks(name), {}};
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return {};
    }
    const std::string_view name = trimBlanks(line.substr(0, equals));
    if (name.empty()) {
        return {};  // could never be asked for, and would end a key list early
    }
    std::string_view value = trimBlanks(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return {ProfileLine::Kind::key, name, value};
}

// The value of the first `key` in the first section named `section`; nothing when the file,
// the section or the key is missing.
std::optional<std::string> findValue(std::string_view section, std::string_view key,
                                     const std::string& path) {
    section = trimBlanks(section);
    key = trimBlanks(key);
    LineReader reader(path);
    std::string line;
    bool inSection = false;
    while (reader.next(line)) {
        const ProfileLine parsed = classify(line);
        if (parsed.kind == ProfileLine::Kind::section) {
            if (inSection) {
                return std::nullopt;  // only the first section of that name counts
            }
            inSection = text::equalsNoCase(parsed.name, section);
        } else if (inSection && parsed.kind == ProfileLine::Kind::key &&
                   text::equalsNoCase(parsed.name, key)) {
            return std::string(parsed.value);
        }
    }
    return std::nullopt;
}

// Names of the keys of the first section named `section` or, with no section, of all sections,
// each followed by a zero byte. Collecting stops once more than `limit` bytes are known.
std::string listNames(const char* section, const std::string& path, std::size_t limit) {
    const std::string_view wanted = section != nullptr ? trimBlanks(section) : std::string_view();
    LineReader reader(path);
    std::string line;
    std::string names;
    bool inSection = false;
    while (names.size() <= limit && reader.next(line)) {
        const ProfileLine parsed = classify(line);
        if (section == nullptr) {
            if (parsed.kind == ProfileLine::Kind::section && !parsed.name.empty()) {
                names.append(parsed.name).push_back('\0');
            }
        } else if (parsed.kind == ProfileLine::Kind::section) {
            if (inSection) {
                break;
            }
            inSection = text::equalsNoCase(parsed.name, wanted);
        } else if (inSection && parsed.kind == ProfileLine::Kind::key) {
            names.append(parsed.name).push_back('\0');
        }
    }
    return names;
}

std::size_t copyText(std::string_view text, char* buffer, std::size_t size) {
    const std::size_t count = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
    return count;
}

// `names` holds zero-ended names; the list gets its closing empty name, or is cut so that it
// still ends in two zero bytes.
std::size_t copyList(const std::string& names, char* buffer, std::size_t size) {
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    if (names.size() + 1 <= size) {
        std::memcpy(buffer, names.data(), names.size());
        buffer[names.size()] = '\0';
        if (names.empty()) {
            buffer[1] = '\0';
        }
        return names.size();
    }
    std::memcpy(buffer, names.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

// The number wraps modulo 2^32 as the Windows function's does, so that an INI file reads the same
// on both systems: "4294967297" reads 1, "-4294967297" reads -1.
int leadingDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10u + static_cast<std::uint32_t>(c - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int>(value);
}

}  // namespace

std::size_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, std::size_t size, const std::string& path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (section == nullptr || key == nullptr) {
        return copyList(listNames(section, path, size), buffer, size);
    }
    if (const std::optional<std::string> value = findValue(section, key, path)) {
        return copyText(*value, buffer, size);
    }
    return copyText(trimTrailingBlanks(defaultValue != nullptr ? defaultValue : ""), buffer, size);
}

int getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                         const std::string& path) {
    if (section == nullptr || key == nullptr) {
        return defaultValue;
    }
    const std::optional<std::string> value = findValue(section, key, path);
    return value ? leadingDecimal(*value) : defaultValue;
}

}  // namespace platform
