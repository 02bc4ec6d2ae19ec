#include "channelFeed.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "cBoundary.h"
#include "ini.h"
#include "net.h"
#include "pluginGroups.h"

namespace plugin {

namespace {

// Pieces a held answer is parsed in, as a download delivers them.
constexpr std::size_t kPieceBytes = 0x10000;
// First block of the RSS text; it then grows by half, so a block that moves is copied at most
// about twice over the text's life.
constexpr std::size_t kFirstBlock = 0x10000;

void appendNumber(RssText& out, std::int64_t value) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Inside a CDATA section "]]>" would end the section early and let a subject inject markup into
// the feed, so each one is split across two sections.
void appendCData(RssText& out, std::string_view value) {
    for (std::size_t close; (close = value.find("]]>")) != std::string_view::npos;) {
        out.append(value.substr(0, close));
        out.append("]]]]><![CDATA[>");
        value.remove_prefix(close + 3);
    }
    out.append(value);
}

// The channel's own values come from the INI file and stand as element text: "&", "<" and ">"
// are escaped, so a value can neither break the text nor inject markup.
void appendEscaped(RssText& out, std::string_view value) {
    for (std::size_t special; (special = value.find_first_of("&<>")) != std::string_view::npos;) {
        out.append(value.substr(0, special));
        out.append(value[special] == '&' ? "&amp;" : value[special] == '<' ? "&lt;" : "&gt;");
        value.remove_prefix(special + 1);
    }
    out.append(value);
}

void buildItemTitle(std::string& out, const BriefItem& item, bool includeBoardNames) {
    out.clear();
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
        char digits[16];
        const auto [end, error] =
            std::to_chars(digits, digits + sizeof digits, std::int64_t{item.messagesInThread} - 1);
        out += " (";
        out.append(digits, end);
        out += " replies)";
    }
}

void repairUrl(std::string& url) {
    constexpr std::string_view kWrong = "forum=";
    const std::size_t at = url.find(kWrong);
    if (at != std::string::npos) {
        url.replace(at, kWrong.size(), "forumid=");
    }
}

bool xmlLogOn() {
    return groups::xmlElements.isEnabled() || groups::xmlTagStack.isEnabled() ||
           groups::xmlCharData.isEnabled();
}

// Holds the whole body and hands it on in pieces only once the download has ended. Used while an
// XML log group is on, so that the log keeps all download lines of the request before the XML
// lines, at the price of holding the answer while debugging.
class HeldBody final : public tools::BodySink {
  public:
    explicit HeldBody(tools::BodySink& target) : target_(target) {}

    void begin(std::uint32_t status, const std::string& statusText) override {
        status_ = status;
        statusText_ = statusText;
    }
    char* room(std::size_t wanted) override {
        body_.resize(size_ + wanted);
        return body_.data() + size_;
    }
    void received(std::size_t count) override { size_ += count; }
    void end() override {
        target_.begin(status_, statusText_);
        for (std::size_t offset = 0; offset < size_; offset += kPieceBytes) {
            const std::size_t count = std::min(kPieceBytes, size_ - offset);
            std::memcpy(target_.room(count), body_.data() + offset, count);
            target_.received(count);
        }
        std::vector<char>().swap(body_);
        target_.end();
    }

  private:
    tools::BodySink& target_;
    std::uint32_t status_ = 0;
    std::string statusText_;
    std::vector<char> body_;
    std::size_t size_ = 0;
};

}  // namespace

void maskEightBitBytes(char* data, std::size_t size) noexcept {
    // Answers are mostly ASCII, so 32 bytes are tested at once and only blocks holding a high byte
    // are rewritten; then words of eight, then single bytes.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const auto maskBytes = [data](std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            if (static_cast<unsigned char>(data[j]) >= 128) {
                data[j] = '?';
            }
        }
    };
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, data + i, sizeof words);
        if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) {
            maskBytes(i, i + 32);
        }
    }
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if ((word & kHighBits) != 0) {
            maskBytes(i, i + 8);
        }
    }
    maskBytes(i, size);
}

RssText::~RssText() {
    release(data_);
}

bool RssText::grow(std::size_t more) {
    // The host takes the length as 32 bits: a longer text can never be handed over.
    if (failed_ || more > UINT32_MAX - size_) {
        failed_ = true;
        return false;
    }
    const std::size_t needed = size_ + more;
    const std::size_t capacity = std::max({needed, kFirstBlock, capacity_ + capacity_ / 2});
    // realloc moves a large block by remapping its pages where the system can, so growing costs
    // no copy and no second block.
    void* block = reallocate(data_, capacity);
    if (block == nullptr) {
        failed_ = true;
        return false;
    }
    // No large-page hint here: the text fills its block bit by bit and rarely to the end, and large
    // pages would make the unused part of the last growth resident.
    data_ = static_cast<char*>(block);
    capacity_ = capacity;
    return true;
}

std::int32_t RssText::handOver(char** textOut, std::uint32_t* lengthOut) {
    if (failed_) {
        return DOVETRAIL_STATUS_NO_MEMORY;
    }
    if (data_ == nullptr && !grow(1)) {  // an empty text still gets a block the host may free
        return DOVETRAIL_STATUS_NO_MEMORY;
    }
    // Cut to the text; should that fail, the larger block serves as well.
    if (void* exact = reallocate(data_, std::max<std::size_t>(size_, 1))) {
        data_ = static_cast<char*>(exact);
    }
    char* block = std::exchange(data_, nullptr);
    if (textOut != nullptr) {
        *textOut = block;
    } else {
        release(block);
    }
    if (lengthOut != nullptr) {
        *lengthOut = static_cast<std::uint32_t>(size_);
    }
    return DOVETRAIL_STATUS_OK;
}

ChannelStream::ChannelStream(const ChannelSettings& settings, bool fixUrlBug, std::string url)
    : settings_(settings), fixUrlBug_(fixUrlBug), url_(std::move(url)), parser_(this) {
    parser_.setLogGroups(&groups::xmlElements, &groups::xmlTagStack, &groups::xmlCharData);
    rss_.append("<RSS>\n<CHANNEL>\n<TITLE>");
    appendEscaped(rss_, settings_.title);
    rss_.append("</TITLE>\n<DESCRIPTION>");
    appendEscaped(rss_, settings_.description);
    rss_.append("</DESCRIPTION>\n<LINK>");
    appendEscaped(rss_, settings_.homeUrl);
    rss_.append("</LINK>\n<IMAGE><URL>");
    appendEscaped(rss_, settings_.imageUrl);
    rss_.append("</URL></IMAGE>\n");
}

ChannelStream::~ChannelStream() = default;

void ChannelStream::keep(std::exception_ptr failure) {
    if (!failure_) {
        failure_ = std::move(failure);
    }
    parsing_ = false;
}

void ChannelStream::begin(std::uint32_t status, const std::string& statusText) {
    if (status >= 400) {
        keep(std::make_exception_ptr(std::runtime_error(
            "Bad HTTP response: " + std::to_string(status) + " " + statusText + ": " + url_)));
        return;
    }
    try {
        parser_.beginPieces();
        parsing_ = true;
    } catch (...) {
        keep(std::current_exception());
    }
}

char* ChannelStream::room(std::size_t wanted) {
    if (parsing_) {
        try {
            room_ = parser_.pieceBuffer(wanted);
            return room_;
        } catch (...) {
            keep(std::current_exception());
        }
    }
    if (discarded_.size() < wanted) {
        discarded_.resize(wanted);
    }
    room_ = discarded_.data();
    return room_;
}

void ChannelStream::received(std::size_t count) {
    if (!parsing_) {
        return;
    }
    maskEightBitBytes(room_, count);
    try {
        parser_.parsePiece(count);
    } catch (...) {
        keep(std::current_exception());
    }
}

void ChannelStream::end() {
    if (!parsing_) {
        return;
    }
    try {
        parser_.finishPieces();
    } catch (...) {
        keep(std::current_exception());
    }
    parsing_ = false;
}

void ChannelStream::item(BriefItem& item) {
    if (fixUrlBug_) {
        repairUrl(item.url);
    }
    buildItemTitle(title_, item, settings_.includeMessageBoardNames);
    rss_.append("<ITEM>\n    <TITLE><![CDATA[");
    appendCData(rss_, title_);
    rss_.append("]]></TITLE>\n    <LINK><![CDATA[");
    appendCData(rss_, item.url);
    rss_.append("]]></LINK>\n");
    if (settings_.trackNewReplies) {
        // The full message count, so the identifier changes whenever a reply is added.
        rss_.append("    <ID><![CDATA[");
        appendCData(rss_, item.url);
        rss_.append('-');
        appendNumber(rss_, item.messagesInThread);
        rss_.append("]]></ID>\n");
    }
    rss_.append("</ITEM>\n");
}

std::int32_t ChannelStream::finish(char** textOut, std::uint32_t* lengthOut) {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    rss_.append("</CHANNEL>\n</RSS>\n");
    return rss_.handOver(textOut, lengthOut);
}

std::int32_t writeChannelFeed(const ChannelSettings& settings, const StateSnapshot& state,
                              char** text, std::uint32_t* length, char* /*errorText*/) {
    const std::string url = settings.hostName + "/" + settings.channelUrl;
    const bool fixUrlBug = tools::getIniBool(state.configPath, "Config", "FixUrlBug", false);
    ChannelStream stream(settings, fixUrlBug, url);
    if (xmlLogOn()) {
        HeldBody held(stream);
        tools::downloadUrl(state.session, url, held);
    } else {
        tools::downloadUrl(state.session, url, stream);
    }
    return stream.finish(text, length);
}

}  // namespace plugin
