#include "feedFormats.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "textCase.h"
#include "textDates.h"
#include "textEscape.h"

namespace host::feeds {

namespace {

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = 14695981039346656037ull) {
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// An absolute IRI as Atom wants for an id: a scheme, a colon, and no character an IRI cannot hold.
bool isAbsoluteIri(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon + 1 == text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alpha && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) {
            return false;
        }
    }
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
            c == '`' || c == '{' || c == '|' || c == '}') {
            return false;
        }
    }
    return true;
}

// A stable URN for an item whose guid is no IRI: a UUID (version 8, made of two hashes of it).
std::string urnFor(std::string_view guid) {
    const std::uint64_t high = fnv1a(guid);
    const std::uint64_t low = fnv1a(guid, high ^ 0x9E3779B97F4A7C15ull);
    char text[64];
    std::snprintf(text, sizeof text, "urn:uuid:%08llx-%04llx-8%03llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0x0FFF),
                  static_cast<unsigned long long>(0x8000 | ((low >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

std::string atomId(std::string_view guid) {
    return isAbsoluteIri(guid) ? std::string(guid) : urnFor(guid);
}

// Readers open links: a javascript: or data: address from the web service would run in them.
// Only web addresses leave the gateway as links; the plug-in's own text keeps what it was given.
std::string_view webLink(std::string_view url) {
    return isHttpUrl(url) ? url : std::string_view();
}

// An item's identity as a feed carries it: an Atom id that is a link of another scheme is
// replaced by a URN made from it, so that no reader follows it.
std::string itemAtomId(const FeedItem& item) {
    if (item.id.empty() && !item.link.empty() && !isHttpUrl(item.link)) {
        return urnFor(item.link);
    }
    return atomId(item.guid());
}

// The channel's link: its home page when that is a web address, else the gateway's own page.
std::string channelLink(const ChannelModel& channel, const FeedContext& context) {
    return isHttpUrl(channel.link) ? channel.link : context.baseUrl + "/";
}

void appendElement(std::string& out, std::string_view indent, std::string_view name,
                   std::string_view utf8) {
    out += indent;
    out += '<';
    out += name;
    out += '>';
    out += xmlEscape(utf8);
    out += "</";
    out += name;
    out += ">\n";
}

}  // namespace

std::string_view formatName(FeedFormat format) {
    switch (format) {
        case FeedFormat::plugin:
            return "plugin";
        case FeedFormat::rss:
            return "rss";
        case FeedFormat::atom:
            return "atom";
        case FeedFormat::json:
            return "json";
    }
    return "plugin";
}

std::optional<FeedFormat> parseFeedFormat(std::string_view name) {
    for (const FeedFormat format : kAllFormats) {
        if (name == formatName(format)) {
            return format;
        }
    }
    return std::nullopt;
}

std::string_view contentType(FeedFormat format) {
    switch (format) {
        case FeedFormat::plugin:
            return "application/rss+xml; charset=ISO-8859-1";
        case FeedFormat::rss:
            return "application/rss+xml; charset=utf-8";
        case FeedFormat::atom:
            return "application/atom+xml; charset=utf-8";
        case FeedFormat::json:
            return "application/feed+json; charset=utf-8";
    }
    return "application/octet-stream";
}

bool isHttpUrl(std::string_view url) {
    return (text::startsWithNoCase(url, "http://") && url.size() > 7) ||
           (text::startsWithNoCase(url, "https://") && url.size() > 8);
}

std::string normalizeBaseUrl(std::string_view url) {
    const auto fail = [&](const char* why) {
        throw FeedError(std::string("Not a base URL (http://HOST[:PORT][/PATH]), ") + why + ": " +
                        std::string(url));
    };
    if (!isHttpUrl(url)) {
        fail("it must start with http:// or https://");
    }
    for (const char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\') {
            fail("it holds a blank, a control character or a character a URL cannot carry");
        }
        if (c == '?' || c == '#') {
            fail("it has a query or a fragment");
        }
    }
    std::string out(url);
    const std::size_t hostStart = out.find("//") + 2;
    if (hostStart >= out.size() || out[hostStart] == '/') {
        fail("it names no host");
    }
    while (out.size() > hostStart && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

std::string feedUrl(std::string_view baseUrl, std::string_view channelName, FeedFormat format) {
    std::string url(baseUrl);
    url += "/channels/";
    url += text::percentEncode(channelName);
    url += '.';
    url += formatName(format);
    return url;
}

std::string opmlUrl(std::string_view baseUrl) {
    return std::string(baseUrl) + "/channels.opml";
}

std::string xmlEscape(std::string_view utf8, bool attribute) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 16);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\r':
                out += "&#13;";
                break;  // a bare CR would be read as a line feed
            default:
                if (c == '\xEF' && i + 2 < utf8.size() && utf8[i + 1] == '\xBF' &&
                    (utf8[i + 2] == '\xBE' || utf8[i + 2] == '\xBF')) {
                    out += "\xEF\xBF\xBD";  // U+FFFE and U+FFFF are not XML characters
                    i += 2;
                } else if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\xEF\xBF\xBD";  // nor are other control characters
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string jsonQuote(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string writeRss(const ChannelModel& channel, const FeedContext& context) {
    const std::string link = channelLink(channel, context);
    const auto ttl = (context.refetchInterval.count() + 59) / 60;  // whole minutes, rounded up
    std::string out;
    out.reserve(512 + channel.items.size() * 400);
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<rss version=\"2.0\" xmlns:atom=\"http://www.w3.org/2005/Atom\">\n<channel>\n";
    appendElement(out, "  ", "title", channel.title);
    appendElement(out, "  ", "link", link);
    // RSS requires a description; the plug-in's default is the channel's name, so this is rare.
    appendElement(out, "  ", "description",
                  channel.description.empty() ? channel.title : channel.description);
    out += "  <atom:link href=\"" +
           xmlEscape(feedUrl(context.baseUrl, context.channelName, FeedFormat::rss), true) +
           "\" rel=\"self\" type=\"application/rss+xml\"/>\n";
    appendElement(out, "  ", "lastBuildDate", text::httpDate(context.updated));
    appendElement(out, "  ", "ttl", std::to_string(std::max<long long>(ttl, 0)));
    if (const std::string_view image = webLink(channel.imageUrl); !image.empty()) {
        out += "  <image>\n";
        appendElement(out, "    ", "url", image);
        appendElement(out, "    ", "title", channel.title);
        appendElement(out, "    ", "link", link);
        out += "  </image>\n";
    }
    for (const FeedItem& item : channel.items) {
        out += "  <item>\n";
        appendElement(out, "    ", "title", item.title);
        const std::string_view itemLink = webLink(item.link);
        if (!itemLink.empty()) {
            appendElement(out, "    ", "link", itemLink);
        }
        // A link is a permalink only when it is a web address; the plug-in's ID never is one.
        const bool permaLink = item.id.empty() && !itemLink.empty();
        out += permaLink ? "    <guid isPermaLink=\"true\">" : "    <guid isPermaLink=\"false\">";
        out += xmlEscape(item.guid());
        out += "</guid>\n";
        appendElement(out, "    ", "pubDate", text::httpDate(item.published));
        out += "  </item>\n";
    }
    out += "</channel>\n</rss>\n";
    return out;
}

std::string writeAtom(const ChannelModel& channel, const FeedContext& context) {
    const std::string self = feedUrl(context.baseUrl, context.channelName, FeedFormat::atom);
    std::string out;
    out.reserve(512 + channel.items.size() * 500);
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n";
    // The subscription's own address: what readers know the feed by.
    appendElement(out, "  ", "id", self);
    appendElement(out, "  ", "title", channel.title);
    if (!channel.description.empty()) {
        appendElement(out, "  ", "subtitle", channel.description);
    }
    appendElement(out, "  ", "updated", text::isoDate(context.updated));
    out += "  <link rel=\"alternate\" type=\"text/html\" href=\"" +
           xmlEscape(channelLink(channel, context), true) + "\"/>\n";
    out += "  <link rel=\"self\" type=\"application/atom+xml\" href=\"" + xmlEscape(self, true) +
           "\"/>\n";
    // Atom wants an author for every entry; the items name theirs in their titles only.
    out += "  <author>\n";
    appendElement(out, "    ", "name", channel.title.empty() ? "Dovetrail" : channel.title);
    out += "  </author>\n";
    if (const std::string_view logo = webLink(channel.imageUrl); !logo.empty()) {
        appendElement(out, "  ", "logo", logo);
    }
    for (const FeedItem& item : channel.items) {
        const std::string date = text::isoDate(item.published);
        out += "  <entry>\n";
        appendElement(out, "    ", "id", itemAtomId(item));
        appendElement(out, "    ", "title", item.title);
        appendElement(out, "    ", "updated", date);
        appendElement(out, "    ", "published", date);
        if (const std::string_view link = webLink(item.link); !link.empty()) {
            out += "    <link rel=\"alternate\" type=\"text/html\" href=\"" +
                   xmlEscape(link, true) + "\"/>\n";
        } else {
            // An entry without a link must carry content.
            out += "    <content type=\"text\">" + xmlEscape(item.title) + "</content>\n";
        }
        out += "  </entry>\n";
    }
    out += "</feed>\n";
    return out;
}

std::string writeJsonFeed(const ChannelModel& channel, const FeedContext& context) {
    std::string out;
    out.reserve(512 + channel.items.size() * 400);
    out += "{\n  \"version\": \"https://jsonfeed.org/version/1.1\",\n  \"title\": ";
    out += jsonQuote(channel.title);
    out += ",\n  \"home_page_url\": " + jsonQuote(channelLink(channel, context));
    out += ",\n  \"feed_url\": " +
           jsonQuote(feedUrl(context.baseUrl, context.channelName, FeedFormat::json));
    if (!channel.description.empty()) {
        out += ",\n  \"description\": " + jsonQuote(channel.description);
    }
    if (const std::string_view icon = webLink(channel.imageUrl); !icon.empty()) {
        out += ",\n  \"icon\": " + jsonQuote(icon);
    }
    out += ",\n  \"items\": [";
    bool first = true;
    for (const FeedItem& item : channel.items) {
        out += first ? "\n    {" : ",\n    {";
        first = false;
        out += "\"id\": " + jsonQuote(item.guid());
        if (const std::string_view link = webLink(item.link); !link.empty()) {
            out += ", \"url\": " + jsonQuote(link);
        }
        out += ", \"title\": " + jsonQuote(item.title);
        // An item needs content; the title is all the plug-in gives.
        out += ", \"content_text\": " + jsonQuote(item.title);
        out += ", \"date_published\": " + jsonQuote(text::isoDate(item.published)) + "}";
    }
    out += first ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string writeFeed(FeedFormat format, std::string_view pluginText, const ChannelModel& channel,
                      const FeedContext& context) {
    switch (format) {
        case FeedFormat::plugin:
            return std::string(pluginText);
        case FeedFormat::rss:
            return writeRss(channel, context);
        case FeedFormat::atom:
            return writeAtom(channel, context);
        case FeedFormat::json:
            return writeJsonFeed(channel, context);
    }
    return std::string(pluginText);
}

std::string writeOpml(const std::vector<OpmlChannel>& channels, std::string_view baseUrl,
                      TimePoint created, std::string_view linkQuery) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"2.0\">\n  <head>\n"
        "    <title>Dovetrail channels</title>\n";
    appendElement(out, "    ", "dateCreated", text::httpDate(created));
    out += "    <docs>http://opml.org/spec2.opml</docs>\n  </head>\n  <body>\n";
    for (const OpmlChannel& channel : channels) {
        const std::string title = xmlEscape(channel.title, true);
        out += "    <outline type=\"rss\" version=\"RSS2\" text=\"" + title + "\" title=\"" +
               title + "\"";
        if (!channel.description.empty()) {
            out += " description=\"" + xmlEscape(channel.description, true) + "\"";
        }
        out += " xmlUrl=\"" +
               xmlEscape(feedUrl(baseUrl, channel.name, FeedFormat::rss) + std::string(linkQuery),
                         true) +
               "\"";
        if (isHttpUrl(channel.homeUrl)) {
            out += " htmlUrl=\"" + xmlEscape(channel.homeUrl, true) + "\"";
        }
        out += "/>\n";
    }
    out += "  </body>\n</opml>\n";
    return out;
}

}  // namespace host::feeds
