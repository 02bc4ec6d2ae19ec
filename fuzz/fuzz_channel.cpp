// The whole channel path from answer bytes to RSS text, as a request runs it: the answer is fed in
// pieces to the channel stream, which masks, parses and writes the text. The first byte picks the
// channel's switches, the piece size and whether the XML log groups are on (into a null stream);
// the rest is the answer.
//
// Invariants: the stream fails exactly when a parse of the whole answer fails, with the same
// message; otherwise its text is well-formed XML whose channel values and items read back
// unchanged: one item per record of the answer, with the title, link and id the answer gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cBoundary.h"
#include "channelConfig.h"
#include "channelFeed.h"
#include "log.h"
#include "parser.h"
#include "pluginGroups.h"
#include "xmlParser.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr std::size_t kPieceSizes[] = {1, 2, 3, 7, 13, 64, 511, 4096, 65536};

// What an XML reader makes of a carriage return in text: a line feed, also as part of CR LF.
std::string asReadBack(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

// The title rules, written out once more as the oracle.
std::string expectedTitle(const plugin::BriefItem& item, bool boards) {
    std::string title;
    if (boards && !item.boardName.empty()) {
        title = "[" + item.boardName + "] ";
    }
    title += item.subject.empty() ? "<No subject>" : item.subject;
    if (!item.author.empty()) {
        title += " - " + item.author;
    }
    if (item.messagesInThread == 2) {
        title += " (1 reply)";
    } else if (item.messagesInThread > 2) {
        title +=
            " (" + std::to_string(static_cast<long long>(item.messagesInThread) - 1) + " replies)";
    }
    return title;
}

// Reads the RSS text back: the channel's values and each item's title, link and id.
class RssReader : public expat::Parser {
  public:
    RssReader() : Parser(kTable) {}

    struct Item {
        std::string title, link, id;
        bool hasId = false;
    };
    std::vector<Item> items;
    std::vector<std::string> channelValues;  // title, description, link, image URL
    bool rootSeen = false;

    void onItem() { items.emplace_back(); }
    void onTitle() { field(&Item::title); }
    void onLink() { field(&Item::link); }
    void onId() {
        check(tagStack().size() == 4 && !items.empty());
        items.back().id = charData();
        items.back().hasId = true;
    }
    void onUrl() { channelValues.push_back(charData()); }
    void onDescription() { channelValues.push_back(charData()); }
    void onRss() { rootSeen = tagStack().size() == 1; }

  private:
    void field(std::string Item::*member) {
        if (tagStack().size() == 3) {
            channelValues.push_back(charData());
        } else {
            check(tagStack().size() == 4 && !items.empty());
            items.back().*member = charData();
        }
    }

    template <auto Op>
    static constexpr expat::HandlerFunction on = expat::memberHandler<Op>;
    static constexpr expat::ElementHandler kTable[] = {
        {expat::kStartTag, on<&RssReader::onRss>, "RSS"},
        {expat::kStartTag, on<&RssReader::onItem>, "ITEM"},
        {expat::kEndTag, on<&RssReader::onTitle>, "TITLE"},
        {expat::kEndTag, on<&RssReader::onLink>, "LINK"},
        {expat::kEndTag, on<&RssReader::onId>, "ID"},
        {expat::kEndTag, on<&RssReader::onUrl>, "URL"},
        {expat::kEndTag, on<&RssReader::onDescription>, "DESCRIPTION"},
        {expat::kEndOfTable, nullptr, nullptr},
    };
};

// Swallows the log, so that enabled groups exercise the line building without filling a disk.
class NullBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static NullBuffer nullBuffer;
    static std::ostream nullStream(&nullBuffer);
    static const bool logSet = [] {
        theMessageLog().setOutput(nullStream);
        return true;
    }();
    (void)logSet;

    if (size == 0) {
        return 0;
    }
    const unsigned options = data[0];
    for (CMessageGroup* group :
         {&groups::xmlElements, &groups::xmlTagStack, &groups::xmlCharData}) {
        group->setEnabled((options & 0x80U) != 0);
    }
    plugin::ChannelSettings settings;
    settings.title = "Tips & Tricks";
    settings.description = "<b>news</b> ]]> &amp;";
    settings.homeUrl = "http://example.invalid/?a=1&b=2";
    settings.imageUrl = "";
    settings.includeMessageBoardNames = (options & 1U) != 0;
    settings.trackNewReplies = (options & 2U) != 0;
    const bool fixUrlBug = (options & 4U) != 0;
    const std::size_t piece = kPieceSizes[((options >> 3) & 0x0FU) % std::size(kPieceSizes)];
    const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);

    // The oracle: the answer masked and parsed whole, its items collected.
    std::string masked = answer;
    plugin::maskEightBitBytes(masked.data(), masked.size());
    plugin::XmlParser reference;
    std::string referenceError;
    try {
        reference.parse(masked.data(), static_cast<int>(masked.size()));
    } catch (const expat::Exception& error) {
        referenceError = error.what();
    }

    plugin::ChannelStream stream(settings, fixUrlBug, "fuzz://answer");
    stream.begin(200, "OK");
    for (std::size_t offset = 0; offset < answer.size(); offset += piece) {
        const std::size_t count = std::min(piece, answer.size() - offset);
        std::memcpy(stream.room(count), answer.data() + offset, count);
        stream.received(count);
    }
    stream.end();
    char* text = nullptr;
    std::uint32_t length = 0;
    try {
        check(stream.finish(&text, &length) == DOVETRAIL_STATUS_OK);
    } catch (const expat::Exception& error) {
        check(referenceError == error.what());
        return 0;
    }
    check(referenceError.empty());
    const std::string rss =
        std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>") + std::string(text, length);
    plugin::release(text);

    RssReader reader;
    reader.parse(rss.data(), static_cast<int>(rss.size()));  // throws, and so fails, if ill-formed
    check(reader.rootSeen);
    check(reader.channelValues == (std::vector<std::string>{settings.title, settings.description,
                                                            settings.homeUrl, settings.imageUrl}));
    const auto& items = reference.items();
    check(reader.items.size() == items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string url = items[i].url;
        if (fixUrlBug && url.find("forum=") != std::string::npos) {
            url.replace(url.find("forum="), 6, "forumid=");
        }
        const RssReader::Item& got = reader.items[i];
        check(got.title == asReadBack(expectedTitle(items[i], settings.includeMessageBoardNames)));
        check(got.link == asReadBack(url));
        check(got.hasId == settings.trackNewReplies);
        if (got.hasId) {
            check(got.id == asReadBack(url + "-" + std::to_string(items[i].messagesInThread)));
        }
    }
    return 0;
}
