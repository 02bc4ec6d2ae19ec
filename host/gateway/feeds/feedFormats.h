// The feed formats the gateway and the CLI offer, written from a channel model: RSS 2.0, Atom 1.0
// and JSON Feed 1.1, each UTF-8; the plug-in's own text, passed through byte for byte; and an OPML
// 2.0 list of every channel for a reader's import.
//
// Feed URLs are absolute, built from a base URL the caller gives (a configured public URL, or the
// address a reader used): BASE/channels/NAME.EXT and BASE/channels.opml, NAME percent-encoded.
//
// Dates: the plug-in's text carries none. RSS and OPML write them as HTTP dates, Atom and JSON Feed
// in ISO 8601 (text::httpDate, text::isoDate). An item's date is FeedItem::published (when its guid
// was first seen); the feed's own date (lastBuildDate, updated) is FeedContext::updated, when the
// channel's text last changed.
//
// Plain functions without shared state; safe from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channelModel.h"

namespace host::feeds {

enum class FeedFormat { plugin, rss, atom, json };

inline constexpr FeedFormat kAllFormats[] = {FeedFormat::plugin, FeedFormat::rss, FeedFormat::atom,
                                             FeedFormat::json};

// "plugin", "rss", "atom", "json"; also the file extension and the last part of the feed's URL.
std::string_view formatName(FeedFormat format);
std::optional<FeedFormat> parseFeedFormat(std::string_view name);
// The Content-Type of each form. The plug-in's own text keeps the type it was always served with.
std::string_view contentType(FeedFormat format);
inline constexpr std::string_view kOpmlContentType = "text/x-opml; charset=utf-8";

// What a feed needs besides the channel: where it is served and how fresh it is.
struct FeedContext {
    std::string channelName;                  // the INI section's name, as the channel is asked for
    std::string baseUrl;                      // from normalizeBaseUrl
    std::chrono::seconds refetchInterval{0};  // the channel's interval; RSS's ttl
    TimePoint updated{};                      // when the channel's text last changed
};

// "http://HOST[:PORT][/PATH]" with any trailing slash removed. Throws FeedError naming the text
// when it is not an absolute http or https URL without query or fragment.
std::string normalizeBaseUrl(std::string_view url);

// BASE/channels/NAME.EXT for a channel's form; NAME percent-encoded as a path segment.
std::string feedUrl(std::string_view baseUrl, std::string_view channelName, FeedFormat format);
// BASE/channels.opml
std::string opmlUrl(std::string_view baseUrl);
// Whether `url` starts with "http://" or "https://" (letter case ignored).
bool isHttpUrl(std::string_view url);

// Text escaped for XML content (&, <, >) or, with `attribute`, for a double-quoted attribute value
// (also ", tab, line feed and carriage return). Characters XML cannot carry (U+FFFE, U+FFFF)
// become U+FFFD. The input is UTF-8.
std::string xmlEscape(std::string_view utf8, bool attribute = false);
// A JSON string literal, quotes included. The input is UTF-8.
std::string jsonQuote(std::string_view utf8);

// The feed forms. `pluginText` is returned as it is for FeedFormat::plugin.
std::string writeRss(const ChannelModel& channel, const FeedContext& context);
std::string writeAtom(const ChannelModel& channel, const FeedContext& context);
std::string writeJsonFeed(const ChannelModel& channel, const FeedContext& context);
std::string writeFeed(FeedFormat format, std::string_view pluginText, const ChannelModel& channel,
                      const FeedContext& context);

// One channel of the OPML list.
struct OpmlChannel {
    std::string name;         // the INI section's name
    std::string title;        // UTF-8
    std::string description;  // UTF-8
    std::string homeUrl;      // UTF-8; written as htmlUrl when it is an http(s) URL
};
// `linkQuery` ("?key=KEY" or empty) is appended to every feed's address.
std::string writeOpml(const std::vector<OpmlChannel>& channels, std::string_view baseUrl,
                      TimePoint created, std::string_view linkQuery = {});

}  // namespace host::feeds
