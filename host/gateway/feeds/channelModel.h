// The plug-in's channel text read into a channel model, from which every feed format is written.
//
// The plug-in writes an upper-case RSS dialect: RSS/CHANNEL with TITLE, DESCRIPTION, LINK and
// IMAGE/URL, then ITEM elements with TITLE, LINK and an optional ID. Item values sit in CDATA
// sections and are ISO-8859-1; the channel's values are the INI file's bytes (decoded here as
// UTF-8 when they are valid UTF-8, else as Windows-1252). The text is parsed with expat, always as
// ISO-8859-1, whatever a declaration might say.
//
// Channel values written without escaping (plug-ins before the escaping mend write an INI value
// such as "Tips & Tricks" as it is) make the text not well-formed. Before parsing, the reader
// therefore escapes every '&' that does not start a well-formed reference and every '<' that
// cannot start markup, outside CDATA sections, and replaces the control bytes XML cannot carry by
// '?'. A well-formed text is left unchanged by this, so escaped and unescaped values both arrive
// intact; `repaired` tells whether anything was changed. Elements inside a channel value (a value
// such as "<b>News</b>") are kept as text. What remains unreadable (a value that closes its own
// element, say) is an error.
//
// Plain values and functions; safe from any thread.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "textDates.h"

namespace host::feeds {

using text::TimePoint;

struct FeedItem {
    std::string title;  // UTF-8, as the plug-in built it: subject, author, replies
    std::string link;   // UTF-8
    std::string id;     // the plug-in's ID (UTF-8), empty when it wrote none
    // When the item was first seen; the caller sets it (from the state, or now). The plug-in's
    // text carries no dates.
    TimePoint published{};

    // What identifies the item across fetches: the plug-in's ID, else the link, else the title.
    const std::string& guid() const { return !id.empty() ? id : !link.empty() ? link : title; }
};

struct ChannelModel {
    std::string title;        // UTF-8
    std::string description;  // UTF-8
    std::string link;         // UTF-8; the channel's home page
    std::string imageUrl;     // UTF-8; empty when the channel has none
    std::vector<FeedItem> items;
    bool repaired = false;  // stray '&', '<' or control bytes had to be escaped before parsing
};

// The text cannot be read as a channel; what() says why and where.
class FeedError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the plug-in's channel text. Throws FeedError.
ChannelModel parsePluginText(std::string_view text);

// The text as it is parsed: stray '&' and '<' escaped and control bytes replaced, outside CDATA
// sections (control bytes inside them too). Returns `text` unchanged when it needs nothing.
std::string repairPluginText(std::string_view text, bool* changed = nullptr);

}  // namespace host::feeds
