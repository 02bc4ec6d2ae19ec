// The channels and other values of the plug-in's INI file, read by the host itself.
//
// A channel is a section with a non-empty "ChannelUrl"; its title is "ChannelName" or, without
// one, the section name; the other presentation values follow the plug-in's defaults too. The
// file is read through the platform's profile service (platform/profile.h) and every value
// through the plug-in's own setting reader (tools::getIniString, decoded and trimmed), so the
// rules for names, comments, duplicates, quotes and blanks are the profile service's on each
// system and nothing here can drift from what the plug-in sees. Sections come from the service's
// section list, each name once: a later section of the same name is never what the plug-in finds.
//
// "UpdateIntervalKind" is the host's own key (the plug-in ignores it): "lounge", "boards" or
// "articles" says which of the web service's three minimum update intervals applies to the
// channel. Without it, or with a value not understood, the longest of the three applies, which
// never asks the service too often; a value not understood is kept so that the commands can warn.
//
// Plain functions without shared state; safe from any thread. Every call reads the file afresh.
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

// The value of `key` in `section`, as the plug-in reads a setting; empty when the file, the
// section or the key is missing.
std::string iniValue(const std::string& iniPath, const std::string& section,
                     const std::string& key);

// Whether the file has a section of that name, as the profile service lists them (letter case and
// blanks around `section` ignored).
bool hasIniSection(const std::string& iniPath, const std::string& section);

}  // namespace host
