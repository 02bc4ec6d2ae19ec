#include "channelFeed.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cBoundary.h"
#include "ini.h"
#include "net.h"
#include "pluginGroups.h"
#include "xmlParser.h"

namespace plugin {

namespace {

// Output sinks: the RSS text is written twice, once to count its bytes and once straight into the
// buffer handed to the host, so the text is never held twice.
class CountingSink {
public:
    void append(std::string_view text) { size_ += text.size(); }
    void append(char) { ++size_; }
    std::size_t size() const { return size_; }

private:
    std::size_t size_ = 0;
};

class BufferSink {
public:
    explicit BufferSink(char* buffer) : next_(buffer) {}
    void append(std::string_view text) {
        std::memcpy(next_, text.data(), text.size());
        next_ += text.size();
    }
    void append(char c) { *next_++ = c; }

private:
    char* next_;
};

template <typename Sink>
void appendNumber(Sink& out, std::int64_t value) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Inside a CDATA section "]]>" would end the section early and let a subject inject markup into
// the feed, so each one is split across two sections.
template <typename Sink>
void appendCData(Sink& out, std::string_view value) {
    for (std::size_t close; (close = value.find("]]>")) != std::string_view::npos;) {
        out.append(value.substr(0, close));
        out.append("]]]]><![CDATA[>");
        value.remove_prefix(close + 3);
    }
    out.append(value);
}

void appendItemTitle(std::string& out, const BriefItem& item, bool includeBoardNames) {
    if (includeBoardNames && !item.boardName.empty()) {
        out += '[';
        out += item.boardName;
        out += "] ";
    }
    out += item.subject.empty() ? std::string_view("<No subject>") : item.subject;
    if (!item.author.empty()) {
        out += " - ";
        out += item.author;
    }
    // The count includes the thread's first message, so the replies are one fewer.
    if (item.messagesInThread == 2) {
        out += " (1 reply)";
    } else if (item.messagesInThread >= 3) {
        out += " (";
        out += std::to_string(std::int64_t{item.messagesInThread} - 1);
        out += " replies)";
    }
}

// Replaces every byte of 128 or more by '?'. Answers are mostly ASCII, so eight bytes are tested at
// once and only words holding a high byte are rewritten.
void maskEightBitBytes(std::vector<char>& bytes) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    char* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if ((word & kHighBits) == 0) {
            continue;
        }
        for (std::size_t j = i; j < i + 8; ++j) {
            if (static_cast<unsigned char>(data[j]) >= 128) {
                data[j] = '?';
            }
        }
    }
    for (; i < size; ++i) {
        if (static_cast<unsigned char>(data[i]) >= 128) {
            data[i] = '?';
        }
    }
}

void repairUrls(std::vector<BriefItem>& items) {
    constexpr std::string_view kWrong = "forum=";
    for (BriefItem& item : items) {
        const std::size_t at = item.url.find(kWrong);
        if (at != std::string::npos) {
            item.url.replace(at, kWrong.size(), "forumid=");
        }
    }
}

template <typename Sink>
void writeRss(Sink& rss, const ChannelSettings& settings, const std::vector<BriefItem>& items) {
    rss.append("<RSS>\n<CHANNEL>\n<TITLE>");
    rss.append(settings.title);
    rss.append("</TITLE>\n<DESCRIPTION>");
    rss.append(settings.description);
    rss.append("</DESCRIPTION>\n<LINK>");
    rss.append(settings.homeUrl);
    rss.append("</LINK>\n<IMAGE><URL>");
    rss.append(settings.imageUrl);
    rss.append("</URL></IMAGE>\n");

    std::string title;
    for (const BriefItem& item : items) {
        title.clear();
        appendItemTitle(title, item, settings.includeMessageBoardNames);
        rss.append("<ITEM>\n    <TITLE><![CDATA[");
        appendCData(rss, title);
        rss.append("]]></TITLE>\n    <LINK><![CDATA[");
        appendCData(rss, item.url);
        rss.append("]]></LINK>\n");
        if (settings.trackNewReplies) {
            // The full message count, so the identifier changes whenever a reply is added.
            rss.append("    <ID><![CDATA[");
            appendCData(rss, item.url);
            rss.append('-');
            appendNumber(rss, item.messagesInThread);
            rss.append("]]></ID>\n");
        }
        rss.append("</ITEM>\n");
    }
    rss.append("</CHANNEL>\n</RSS>\n");
}

}  // namespace

std::int32_t writeChannelFeed(const ChannelSettings& settings, const StateSnapshot& state,
                              char** text, std::uint32_t* length, char* /*errorText*/) {
    const std::string url = settings.hostName + "/" + settings.channelUrl;
    std::vector<char> answer;
    tools::downloadUrl(state.session, url, answer);
    if (answer.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::runtime_error("The answer is too large to parse: " + url);
    }

    // The parser only ever sees 7-bit bytes.
    maskEightBitBytes(answer);

    XmlParser parser;
    parser.setLogGroups(&groups::xmlElements, &groups::xmlTagStack, &groups::xmlCharData);
    parser.parse(answer.data(), static_cast<int>(answer.size()));
    // The answer is no longer needed; releasing it keeps the peak memory of a large channel down.
    std::vector<char>().swap(answer);

    if (tools::getIniBool(state.configPath, "Config", "FixUrlBug", false)) {
        repairUrls(parser.items());
    }
    CountingSink counter;
    writeRss(counter, settings, parser.items());
    return handOver(
        counter.size(),
        [&](char* buffer) {
            BufferSink sink(buffer);
            writeRss(sink, settings, parser.items());
        },
        text, length);
}

}  // namespace plugin
