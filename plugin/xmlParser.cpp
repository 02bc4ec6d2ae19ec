#include "xmlParser.h"

#include <cstdint>
#include <limits>

#include "htmlStripper.h"
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

XmlParser::~XmlParser() = default;

void XmlParser::beginRecord() {
    items_.emplace_back();
    inRecord_ = true;
}

void XmlParser::endRecord() { inRecord_ = false; }

void XmlParser::setBoardName() {
    if (inRecord_) {
        items_.back().boardName = charData();
    }
}

void XmlParser::setUrl() {
    if (inRecord_) {
        items_.back().url = charData();
    }
}

void XmlParser::setSubject() {
    if (inRecord_) {
        items_.back().subject = charData();
    }
}

void XmlParser::setAuthor() {
    if (inRecord_) {
        htmlStripper::HtmlStripper stripper;
        stripper.process(charData());
        items_.back().author = stripper.result();
    }
}

void XmlParser::setMessagesInThread() {
    if (inRecord_) {
        items_.back().messagesInThread = parseCount(charData());
    }
}

}  // namespace plugin
