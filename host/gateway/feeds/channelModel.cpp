#include "channelModel.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "textCase.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host::feeds {

namespace {

bool isAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Bytes below 0x20 other than tab, line feed and carriage return are not XML characters at all.
bool isForbiddenControl(unsigned char c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

bool isXmlChar(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed reference at `text[at]` ('&'), or 0 when it is not one. Without a
// DTD only the five predefined entities exist.
std::size_t referenceLength(std::string_view text, std::size_t at) {
    const std::size_t semicolon = text.find(';', at + 1);
    if (semicolon == std::string_view::npos || semicolon - at > 12) {
        return 0;
    }
    const std::string_view body = text.substr(at + 1, semicolon - at - 1);
    if (body == "amp" || body == "lt" || body == "gt" || body == "quot" || body == "apos") {
        return semicolon - at + 1;
    }
    if (body.size() < 2 || body[0] != '#') {
        return 0;
    }
    const bool hex = body[1] == 'x';
    const std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) {
        return 0;
    }
    unsigned long value = 0;
    for (const char c : digits) {
        const int digit = hex ? text::hexValue(c) : isDigit(c) ? c - '0' : -1;
        if (digit < 0) {
            return 0;
        }
        value = value * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
    }
    return isXmlChar(value) ? semicolon - at + 1 : 0;
}

// Whether the '<' at `text[at]` can start markup: a tag, an end tag, a comment, CDATA or a
// processing instruction. Latin-1 letters start names too.
bool startsMarkup(std::string_view text, std::size_t at) {
    if (at + 1 >= text.size()) {
        return false;
    }
    const char next = text[at + 1];
    const auto u = static_cast<unsigned char>(next);
    return isAsciiAlpha(next) || next == '_' || next == ':' || next == '/' || next == '!' ||
           next == '?' || (u >= 0xC0 && u != 0xD7 && u != 0xF7);
}

constexpr std::string_view kCDataOpen = "<![CDATA[";
constexpr std::string_view kCDataClose = "]]>";

// Where the parser is in the plug-in's text.
enum class Field {
    none,
    channelTitle,
    channelDescription,
    channelLink,
    imageUrl,
    itemTitle,
    itemLink,
    itemId
};

struct ParseState {
    XML_Parser parser = nullptr;
    // An exception must not unwind through expat's C frames: a handler's is kept here, the parser
    // stopped, and the exception rethrown once XML_Parse has returned.
    std::exception_ptr pending;
    ChannelModel model;
    std::vector<std::string> path;  // open elements, lower-cased
    bool sawChannel = false;
    // The field being read: its text collects here until its element closes.
    Field field = Field::none;
    std::size_t fieldDepth = 0;
    std::string text;
    // Fields already read, so that a repeated one does not overwrite the first.
    bool channelSeen[4] = {false, false, false, false};
    bool itemSeen[3] = {false, false, false};
};

std::string lowered(const char* name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// The text of a markup element met inside a value, written back as it was (attributes quoted).
void appendStartTag(std::string& out, const char* name, const char** attributes) {
    out += '<';
    out += name;
    for (const char** a = attributes; a[0] != nullptr; a += 2) {
        out += ' ';
        out += a[0];
        out += "=\"";
        out += a[1];
        out += '"';
    }
    out += '>';
}

// A channel value as the bytes the INI file held, then decoded by the INI rule. expat read the
// bytes as Latin-1, so each code point up to U+00FF is one byte of the file; a character reference
// above that (possible only in a value that was written unescaped) keeps its UTF-8 form.
std::string channelValue(const std::string& utf8) {
    std::string bytes;
    bytes.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead == 0xC2 || lead == 0xC3) {
            bytes += static_cast<char>(((lead & 0x03) << 6) | (utf8[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        bytes.append(utf8, i, length);
        i += length;
    }
    return iniValueToUtf8(bytes);
}

void startElement(ParseState& s, const char* name, const char** attributes) {
    if (s.field != Field::none) {
        appendStartTag(s.text, name, attributes);
        s.path.push_back(lowered(name));
        return;
    }
    s.path.push_back(lowered(name));
    const auto& p = s.path;
    const std::size_t depth = p.size();
    if (depth == 1) {
        if (p[0] != "rss") {
            throw FeedError("Can't convert the channel text: its root element is <" +
                            latin1ToUtf8(name) + ">, not <RSS>");
        }
        return;
    }
    if (depth == 2 && p[1] == "channel") {
        s.sawChannel = true;
        return;
    }
    if (p[0] != "rss" || p[1] != "channel") {
        return;
    }
    // The plug-in writes element names in upper case, but letter case is not relied on.
    Field field = Field::none;
    if (depth == 3) {
        if (text::equalsNoCase(name, "title")) {
            field = Field::channelTitle;
        } else if (text::equalsNoCase(name, "description")) {
            field = Field::channelDescription;
        } else if (text::equalsNoCase(name, "link")) {
            field = Field::channelLink;
        } else if (text::equalsNoCase(name, "item")) {
            s.model.items.emplace_back();
            std::fill(std::begin(s.itemSeen), std::end(s.itemSeen), false);
        }
    } else if (depth == 4 && p[2] == "image" && text::equalsNoCase(name, "url")) {
        field = Field::imageUrl;
    } else if (depth == 4 && p[2] == "item") {
        if (text::equalsNoCase(name, "title")) {
            field = Field::itemTitle;
        } else if (text::equalsNoCase(name, "link")) {
            field = Field::itemLink;
        } else if (text::equalsNoCase(name, "id")) {
            field = Field::itemId;
        }
    }
    if (field != Field::none) {
        s.field = field;
        s.fieldDepth = depth;
        s.text.clear();
    }
}

void endElement(ParseState& s, const char* name) {
    const std::size_t depth = s.path.size();
    s.path.pop_back();
    if (s.field == Field::none) {
        return;
    }
    if (depth > s.fieldDepth) {
        s.text += "</";
        s.text += name;
        s.text += '>';
        return;
    }
    // The first of repeated fields counts.
    const auto keep = [&](bool& seen, std::string& target, bool fromIni) {
        if (!seen) {
            seen = true;
            target = fromIni ? channelValue(s.text) : s.text;
        }
    };
    ChannelModel& m = s.model;
    switch (s.field) {
        case Field::channelTitle:
            keep(s.channelSeen[0], m.title, true);
            break;
        case Field::channelDescription:
            keep(s.channelSeen[1], m.description, true);
            break;
        case Field::channelLink:
            keep(s.channelSeen[2], m.link, true);
            break;
        case Field::imageUrl:
            keep(s.channelSeen[3], m.imageUrl, true);
            break;
        case Field::itemTitle:
            keep(s.itemSeen[0], m.items.back().title, false);
            break;
        case Field::itemLink:
            keep(s.itemSeen[1], m.items.back().link, false);
            break;
        case Field::itemId:
            keep(s.itemSeen[2], m.items.back().id, false);
            break;
        case Field::none:
            break;
    }
    s.field = Field::none;
}

// Runs a handler unless the parse already failed; catches what it throws (see ParseState).
template <typename Handler>
void guarded(void* data, Handler&& handler) {
    auto& s = *static_cast<ParseState*>(data);
    if (s.pending) {
        return;  // expat may deliver an event or two after being stopped
    }
    try {
        handler(s);
    } catch (...) {
        s.pending = std::current_exception();
        XML_StopParser(s.parser, XML_FALSE);
    }
}

void XMLCALL onStart(void* data, const char* name, const char** attributes) {
    guarded(data, [&](ParseState& s) { startElement(s, name, attributes); });
}

void XMLCALL onEnd(void* data, const char* name) {
    guarded(data, [&](ParseState& s) { endElement(s, name); });
}

void XMLCALL onText(void* data, const char* text, int length) {
    guarded(data, [&](ParseState& s) {
        if (s.field != Field::none) {
            s.text.append(text, static_cast<std::size_t>(length));
        }
    });
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

std::string repairPluginText(std::string_view text, bool* changed) {
    std::string out;
    bool any = false;
    std::size_t copied = 0;  // text[0, copied) is already in `out`
    const auto replace = [&](std::size_t at, std::size_t length, std::string_view with) {
        if (!any) {
            out.reserve(text.size() + 64);
            any = true;
        }
        out.append(text.substr(copied, at - copied));
        out.append(with);
        copied = at + length;
    };
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '<' && text.substr(i, kCDataOpen.size()) == kCDataOpen) {
            // CDATA holds its bytes as they are; only control bytes have to go.
            std::size_t end = text.find(kCDataClose, i + kCDataOpen.size());
            end = end == std::string_view::npos ? text.size() : end + kCDataClose.size();
            for (std::size_t k = i + kCDataOpen.size(); k < end; ++k) {
                if (isForbiddenControl(static_cast<unsigned char>(text[k]))) {
                    replace(k, 1, "?");
                }
            }
            i = end;
        } else if (c == '&' && referenceLength(text, i) == 0) {
            replace(i, 1, "&amp;");
            ++i;
        } else if (c == '<' && !startsMarkup(text, i)) {
            replace(i, 1, "&lt;");
            ++i;
        } else if (isForbiddenControl(static_cast<unsigned char>(c))) {
            replace(i, 1, "?");
            ++i;
        } else {
            ++i;
        }
    }
    if (changed != nullptr) {
        *changed = any;
    }
    if (!any) {
        return std::string(text);
    }
    out.append(text.substr(copied));
    return out;
}

ChannelModel parsePluginText(std::string_view original) {
    bool repaired = false;
    const std::string text = repairPluginText(original, &repaired);

    // The plug-in's text is 8-bit ISO-8859-1 whatever it might declare; expat hands out UTF-8.
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("ISO-8859-1"));
    if (!parser) {
        throw FeedError("Can't convert the channel text: out of memory for the XML parser");
    }
    ParseState state;
    state.parser = parser.get();
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);

    // Fed in pieces: expat takes an int length, and a channel may be larger than that.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kPiece, text.size() - offset);
        const bool last = offset + length == text.size();
        const XML_Status status = XML_Parse(parser.get(), text.data() + offset,
                                            static_cast<int>(length), last ? XML_TRUE : XML_FALSE);
        if (state.pending) {
            std::rethrow_exception(state.pending);
        }
        if (status != XML_STATUS_OK) {
            throw FeedError("Can't convert the channel text: " +
                            std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) +
                            " at line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) +
                            ", column " +
                            std::to_string(XML_GetCurrentColumnNumber(parser.get()) + 1));
        }
        offset += length;
    } while (offset < text.size());
    if (!state.sawChannel) {
        throw FeedError("Can't convert the channel text: it has no <CHANNEL> element");
    }
    state.model.repaired = repaired;
    return std::move(state.model);
}

}  // namespace host::feeds
