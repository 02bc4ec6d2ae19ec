// The channels configured in the plug-in's INI file, read by the host itself.
//
// A channel is a section with a non-empty "ChannelUrl"; its title is "ChannelName" or, without
// one, the section name. The file is read the way the plug-in reads it: section and key names
// ignore letter case and surrounding blanks, only the first of same-named sections counts, the
// first of duplicate keys wins, lines starting with ';' are comments, values lose surrounding
// blanks and one pair of matching quotes, end at a zero byte, then are percent-decoded and
// trimmed. Blanks are space, tab, vertical tab and form feed. A section whose name holds a zero
// byte is no channel: the plug-in, asked by C string, could not find it.
//
// Plain functions without shared state; safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace host {

struct ChannelEntry {
    std::string name;   // the section name, as written
    std::string title;  // the channel title the plug-in will use
};

// Channels in file order. Throws HostError (kExitNoConfig) when the file cannot be read.
std::vector<ChannelEntry> readChannelList(const std::string& iniPath);

// Same, from the file's text (for tests and for callers that already read it).
std::vector<ChannelEntry> parseChannelList(const std::string& iniText);

// Percent-decodes `value` in one pass (an incomplete escape stays as it is), then removes leading
// and trailing whitespace.
std::string decodeIniValue(const std::string& value);

}  // namespace host
