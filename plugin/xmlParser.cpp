#include "xmlParser.h"

#include <cstdint>
#include <limits>

#include "stringUtil.h"

namespace plugin {

namespace {

// Reads a count as the C library's atoi does (leading whitespace, optional sign, decimal digits,
// 0 without digits), but saturates instead of overflowing on an absurdly long number.
std::int32_t parseCount(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && misc::isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), kLimit);
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, kLimit - 1));
}

}  // namespace

// constexpr, so the table is complete before any static object of the library is constructed.
constexpr expat::ElementHandler XmlParser::kElementHandlers[] = {
    {expat::kStartTag, expat::memberHandler<&XmlParser::beginRecord>, "MessageBrief"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::endRecord>, "MessageBrief"},
    {expat::kStartTag, expat::memberHandler<&XmlParser::beginRecord>, "ArticleBrief"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::endRecord>, "ArticleBrief"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setBoardName>, "MsgBoardName"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setUrl>, "Url"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setSubject>, "Subject"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setSubject>, "Title"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setAuthor>, "Author"},
    {expat::kEndTag, expat::memberHandler<&XmlParser::setMessagesInThread>, "MsgsInThread"},
    {expat::kEndOfTable, nullptr, nullptr},
};

XmlParser::XmlParser() : expat::Parser(kElementHandlers) {}

XmlParser::XmlParser(ItemSink* sink) : expat::Parser(kElementHandlers), sink_(sink) {}

XmlParser::~XmlParser() = default;

void XmlParser::emit() {
    pending_ = false;
    sink_->item(current_);
}

void XmlParser::beginRecord() {
    if (sink_ != nullptr) {
        // A record nested in another starts a new item: the outer one can change no more.
        if (pending_) {
            emit();
        }
        current_.boardName.clear();
        current_.url.clear();
        current_.subject.clear();
        current_.author.clear();
        current_.messagesInThread = 0;
        pending_ = true;
    } else {
        items_.emplace_back();
    }
    inRecord_ = true;
}

void XmlParser::endRecord() {
    inRecord_ = false;
    if (pending_) {
        emit();
    }
}

void XmlParser::setBoardName() {
    if (inRecord_) {
        record().boardName = charData();
    }
}

void XmlParser::setUrl() {
    if (inRecord_) {
        record().url = charData();
    }
}

void XmlParser::setSubject() {
    if (inRecord_) {
        record().subject = charData();
    }
}

void XmlParser::setAuthor() {
    if (inRecord_) {
        const std::string& text = charData();
        // Text without a "<" holds no tag or comment, so the stripper would give it back as it is.
        if (text.find('<') == std::string::npos) {
            record().author = text;
            return;
        }
        // One stripper for every author: process() replaces its result and keeps its capacity.
        stripper_.process(text);
        record().author = stripper_.result();
    }
}

void XmlParser::setMessagesInThread() {
    if (inRecord_) {
        record().messagesInThread = parseCount(charData());
    }
}

}  // namespace plugin
