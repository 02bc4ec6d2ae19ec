#include "channelList.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "hostError.h"
#include "ini.h"
#include "textCase.h"
#include "textEscape.h"

namespace host {

namespace {

// The blanks the profile service drops around names asked for.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string withoutBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return std::string(s);
}

// The profile service reads a missing file as an empty one; the commands must say it is missing.
void requireReadable(const std::string& iniPath) {
    if (!std::ifstream(iniPath, std::ios::binary)) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + iniPath + ": " +
                                           std::strerror(errno));
    }
}

bool containsNoCase(const std::vector<std::string>& names, std::string_view name) {
    for (const std::string& n : names) {
        if (text::equalsNoCase(n, name)) {
            return true;
        }
    }
    return false;
}

}  // namespace

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
    // Both come from the INI file, decoded: a %0A must not start a line of its own in the log.
    return "channel " + text::printable(channel.name) +
           ": UpdateIntervalKind=" + text::printable(channel.unknownIntervalKind) +
           " is not lounge, boards or articles; the longest interval applies";
}

const ChannelEntry* findChannel(const std::vector<ChannelEntry>& channels, std::string_view name) {
    const std::string wanted = withoutBlanks(name);
    for (const ChannelEntry& channel : channels) {
        if (text::equalsNoCase(channel.name, wanted)) {
            return &channel;
        }
    }
    return nullptr;
}

std::vector<ChannelEntry> readChannelList(const std::string& iniPath) {
    requireReadable(iniPath);
    // As the plug-in does: HostName decoded, then the default of ChannelHomeUrl.
    const std::string hostName = iniValue(iniPath, "Config", "HostName");
    std::vector<std::string> seen;
    std::vector<ChannelEntry> channels;
    for (std::string& name : tools::getIniSectionNames(iniPath)) {
        // A later section of the same name reads as the first; it is looked at once.
        if (containsNoCase(seen, name)) {
            continue;
        }
        seen.push_back(name);
        const auto value = [&](const char* key, const std::string& fallback) {
            return tools::getIniString(iniPath, name, key, fallback, true);
        };
        if (value("ChannelUrl", std::string()).empty()) {
            continue;
        }
        ChannelEntry channel;
        channel.title = value("ChannelName", name);
        channel.description = value("ChannelDescription", name);
        channel.homeUrl = value("ChannelHomeUrl", hostName);
        channel.imageUrl = value("ChannelImageUrl", std::string());
        const std::string kind = value("UpdateIntervalKind", std::string());
        if (const auto parsed = parseIntervalKind(kind)) {
            channel.intervalKind = *parsed;
        } else if (!kind.empty()) {
            channel.unknownIntervalKind = kind;
        }
        channel.name = std::move(name);
        channels.push_back(std::move(channel));
    }
    return channels;
}

std::string iniValue(const std::string& iniPath, const std::string& section,
                     const std::string& key) {
    return tools::getIniString(iniPath, section, key, std::string(), true);
}

bool hasIniSection(const std::string& iniPath, const std::string& section) {
    // The listed names keep what the profile reader keeps around them; the lookup ignores blanks
    // on both sides, as the plug-in's section lookup does.
    const std::string wanted = withoutBlanks(section);
    for (const std::string& listed : tools::getIniSectionNames(iniPath)) {
        if (text::equalsNoCase(withoutBlanks(listed), wanted)) {
            return true;
        }
    }
    return false;
}

}  // namespace host
