#include "channelList.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "hostError.h"
#include "textCase.h"
#include "textEscape.h"

namespace host {

namespace {

// The blanks the plug-in's profile reader drops around names and values.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trimmed(const std::string& s, bool (*drop)(char)) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && drop(s[begin])) {
        ++begin;
    }
    while (end > begin && drop(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

std::string unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;  // raw values, first wins

    const std::string* find(const std::string& key) const {
        for (const auto& [k, v] : keys) {
            if (text::equalsNoCase(k, key)) {
                return &v;
            }
        }
        return nullptr;
    }
};

// Splits the text into lines ended by CR LF, LF or a lone CR.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// Sections in file order, each with its raw values.
std::vector<Section> parseSections(const std::string& iniText) {
    std::string text = iniText;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    std::vector<Section> sections;
    Section* current = nullptr;  // null outside a section and inside a repeated one
    for (const std::string& rawLine : splitLines(text)) {
        const std::string line = trimmed(rawLine, isBlank);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string name =
                trimmed(line.substr(1, close == std::string::npos ? std::string::npos : close - 1),
                        isBlank);
            current = nullptr;
            bool seen = false;
            for (const Section& s : sections) {
                seen = seen || text::equalsNoCase(s.name, name);
            }
            if (!seen) {
                sections.push_back(Section{name, {}});
                current = &sections.back();
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string::npos) {
            continue;
        }
        const std::string key = trimmed(line.substr(0, equals), isBlank);
        if (current->find(key) == nullptr) {
            current->keys.emplace_back(key, unquoted(trimmed(line.substr(equals + 1), isBlank)));
        }
    }
    return sections;
}

}  // namespace

std::string decodeIniValue(const std::string& value) {
    return trimmed(text::percentDecode(value), isSpace);
}

std::vector<ChannelEntry> parseChannelList(const std::string& iniText) {
    const std::vector<Section> sections = parseSections(iniText);
    std::string hostName;
    for (const Section& section : sections) {
        if (text::equalsNoCase(section.name, "Config")) {
            if (const std::string* value = section.find("HostName")) {
                hostName = *value;
            }
        }
    }
    // The plug-in reads a value as a C string: it ends at a zero byte.
    const auto setting = [](const std::string& raw) {
        return decodeIniValue(raw.substr(0, raw.find('\0')));
    };
    std::vector<ChannelEntry> channels;
    for (const Section& section : sections) {
        // The plug-in is asked for a channel by a C string, which cannot name such a section.
        if (section.name.find('\0') != std::string::npos) {
            continue;
        }
        const std::string* url = section.find("ChannelUrl");
        if (url == nullptr || setting(*url).empty()) {
            continue;
        }
        // The plug-in's defaults pass through the same decoding as values.
        const auto value = [&](const char* key, const std::string& fallback) {
            const std::string* found = section.find(key);
            return setting(found != nullptr ? *found : fallback);
        };
        ChannelEntry channel;
        channel.name = section.name;
        channel.title = value("ChannelName", section.name);
        channel.description = value("ChannelDescription", section.name);
        channel.homeUrl = value("ChannelHomeUrl", hostName);
        channel.imageUrl = value("ChannelImageUrl", std::string());
        const std::string kind = value("UpdateIntervalKind", std::string());
        if (const auto parsed = parseIntervalKind(kind)) {
            channel.intervalKind = *parsed;
        } else if (!kind.empty()) {
            channel.unknownIntervalKind = kind;
        }
        channels.push_back(std::move(channel));
    }
    return channels;
}

std::optional<IntervalKind> parseIntervalKind(std::string_view value) {
    if (text::equalsNoCase(value, "lounge")) {
        return IntervalKind::lounge;
    }
    if (text::equalsNoCase(value, "boards")) {
        return IntervalKind::messageBoards;
    }
    if (text::equalsNoCase(value, "articles")) {
        return IntervalKind::articles;
    }
    return std::nullopt;
}

std::string intervalKindWarning(const ChannelEntry& channel) {
    if (channel.unknownIntervalKind.empty()) {
        return std::string();
    }
    return "channel " + channel.name + ": UpdateIntervalKind=" + channel.unknownIntervalKind +
           " is not lounge, boards or articles; the longest interval applies";
}

const ChannelEntry* findChannel(const std::vector<ChannelEntry>& channels, std::string_view name) {
    const std::string wanted = trimmed(std::string(name), isBlank);
    for (const ChannelEntry& channel : channels) {
        if (text::equalsNoCase(channel.name, wanted)) {
            return &channel;
        }
    }
    return nullptr;
}

std::string readIniText(const std::string& iniPath) {
    std::ifstream in(iniPath, std::ios::binary);
    if (!in) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + iniPath + ": " +
                                           std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<ChannelEntry> readChannelList(const std::string& iniPath) {
    return parseChannelList(readIniText(iniPath));
}

std::string iniValue(const std::string& iniText, const std::string& section,
                     const std::string& key) {
    for (const Section& s : parseSections(iniText)) {
        if (text::equalsNoCase(s.name, section)) {
            const std::string* value = s.find(key);
            return value != nullptr ? decodeIniValue(value->substr(0, value->find('\0')))
                                    : std::string();
        }
    }
    return {};
}

bool hasIniSection(const std::string& iniText, const std::string& section) {
    for (const Section& s : parseSections(iniText)) {
        if (text::equalsNoCase(s.name, section)) {
            return true;
        }
    }
    return false;
}

}  // namespace host
