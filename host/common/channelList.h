// The channels and other values of the plug-in's INI file, read by the host itself.
//
// A channel is a section with a non-empty "ChannelUrl"; its title is "ChannelName" or, without
// one, the section name; the other presentation values follow the plug-in's defaults too. The
// file is read the way the plug-in reads it: section and key names ignore letter case and
// surrounding blanks, only the first of same-named sections counts, the first of duplicate keys
// wins, lines starting with ';' are comments, values lose surrounding blanks and one pair of
// matching quotes, end at a zero byte, then are percent-decoded and trimmed. Blanks are space,
// tab, vertical tab, form feed and the end-of-file byte 0x1A. A section whose name holds a zero
// byte is no channel: the plug-in, asked by C string, could not find it.
//
// "UpdateIntervalKind" is the host's own key (the plug-in ignores it): "lounge", "boards" or
// "articles" says which of the web service's three minimum update intervals applies to the
// channel. Without it, or with a value not understood, the longest of the three applies, which
// never asks the service too often; a value not understood is kept so that the commands can warn.
//
// Plain functions without shared state; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Which minimum update interval a channel keeps to.
enum class IntervalKind { longest, lounge, messageBoards, articles };

struct ChannelEntry {
    std::string name;   // the section name, as written
    std::string title;  // the channel title the plug-in will use
    // Initialised, so that code listing only the two above stays warning-free.
    std::string description = {};  // "ChannelDescription", default the section name
    std::string homeUrl = {};      // "ChannelHomeUrl", default "HostName" of section "Config"
    std::string imageUrl = {};     // "ChannelImageUrl", default empty
    IntervalKind intervalKind = IntervalKind::longest;
    // "UpdateIntervalKind" as written (decoded) when it is not understood; empty otherwise.
    std::string unknownIntervalKind = {};
};

// "lounge", "boards" or "articles", letter case ignored; nothing for any other text.
std::optional<IntervalKind> parseIntervalKind(std::string_view value);

// The warning for a channel whose "UpdateIntervalKind" is not understood, empty when there is
// none: "channel NAME: UpdateIntervalKind=VALUE is not lounge, boards or articles; the longest
// interval applies".
std::string intervalKindWarning(const ChannelEntry& channel);

// The channel the plug-in would find for `name`: letter case and surrounding blanks ignored, as in
// its section lookup. Null when there is none.
const ChannelEntry* findChannel(const std::vector<ChannelEntry>& channels, std::string_view name);

// Channels in file order. Throws HostError (kExitNoConfig) when the file cannot be read.
std::vector<ChannelEntry> readChannelList(const std::string& iniPath);

// Same, from the file's text (for tests and for callers that already read it).
std::vector<ChannelEntry> parseChannelList(const std::string& iniText);

// The file's whole text. Throws HostError (kExitNoConfig) when it cannot be read.
std::string readIniText(const std::string& iniPath);

// The value of `key` in `section`, decoded as above; empty when either is missing.
std::string iniValue(const std::string& iniText, const std::string& section,
                     const std::string& key);

// Whether the text has a section of that name.
bool hasIniSection(const std::string& iniText, const std::string& section);

// Percent-decodes `value` in one pass (an incomplete escape stays as it is), then removes leading
// and trailing whitespace.
std::string decodeIniValue(const std::string& value);

}  // namespace host
