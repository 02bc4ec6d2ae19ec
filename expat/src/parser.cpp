#include "parser.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <utility>

#include "log.h"

namespace expat {

namespace {

// Size of the pieces the document is fed to expat in.
constexpr int kPieceBytes = 1 << 20;

// Stream adaptors, so that log lines are composed only when their group is enabled and without an
// intermediate string.
struct EscapedBytes {
    EscapedBytes(const char* d, std::size_t n) : data(d), count(n) {}
    const char* data;
    std::size_t count;
};

std::ostream& operator<<(std::ostream& out, const EscapedBytes& bytes) {
    writeEscapedBytes(out, bytes.data, bytes.count);
    return out;
}

struct AttributeText {
    explicit AttributeText(const char** a) : attributes(a) {}
    const char** attributes;
};

std::ostream& operator<<(std::ostream& out, const AttributeText& text) {
    for (const char** pair = text.attributes; pair != nullptr && pair[0] != nullptr; pair += 2) {
        out << "- " << pair[0] << " = '" << (pair[1] != nullptr ? pair[1] : "") << "'";
    }
    return out;
}

struct TagStackText {
    explicit TagStackText(const std::vector<std::string>& s) : stack(s) {}
    const std::vector<std::string>& stack;
};

// A "TagStack" line is written at every element, so it has a bounded size whatever the depth: a
// deep stack shows its depth and only its innermost names, and a very long name is cut.
constexpr std::size_t kLoggedTagNames = 8;
constexpr std::size_t kLoggedNameBytes = 64;

std::ostream& operator<<(std::ostream& out, const TagStackText& text) {
    const std::vector<std::string>& stack = text.stack;
    std::size_t first = 0;
    if (stack.size() > kLoggedTagNames) {
        first = stack.size() - kLoggedTagNames;
        out << '(' << stack.size() << " open, innermost " << kLoggedTagNames << ')';
    }
    for (std::size_t i = first; i < stack.size(); ++i) {
        const std::string& name = stack[i];
        out << ':';
        if (name.size() > kLoggedNameBytes) {
            out.write(name.data(), kLoggedNameBytes);
            out << "...";
        } else {
            out << name;
        }
    }
    return out;
}

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0U) == 0x80U;
}

bool isOn(const CMessageGroup* group) {
    return group != nullptr && group->isEnabled();
}

// The log lines are written out of line, so that the event path, taken millions of times with the
// groups off, carries none of their cost.
[[gnu::cold, gnu::noinline]] void logStartElement(const CMessageGroup* group, const char* name,
                                                  const char** attributes) {
    LOG_TO_GROUP(group, "START ELEMENT: " << name << " ; " << AttributeText(attributes));
}

[[gnu::cold, gnu::noinline]] void logEndElement(const CMessageGroup* group, const char* name) {
    LOG_TO_GROUP(group, "END ELEMENT: " << name);
}

[[gnu::cold, gnu::noinline]] void logTagStack(const CMessageGroup* group,
                                              const std::vector<std::string>& stack) {
    LOG_TO_GROUP(group, "TagStack: " << TagStackText(stack));
}

[[gnu::cold, gnu::noinline]] void logCharacterData(const CMessageGroup* group, const char* data,
                                                   std::size_t count) {
    LOG_TO_GROUP(group, "CHARACTER DATA: " << EscapedBytes(data, count));
}

// Whether every byte is below 0x80, tested eight bytes at a time without a branch per word.
bool isAscii(const char* data, std::size_t count) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        high |= word;
    }
    for (; i < count; ++i) {
        high |= static_cast<unsigned char>(data[i]);
    }
    return (high & 0x8080808080808080ULL) == 0;
}

// Appends UTF-8 text that holds a byte of 0x80 or more as Latin-1: one byte per UTF-16 code unit,
// the unit itself when it is 255 or less, otherwise '?', so a character outside the Basic
// Multilingual Plane (two units) gives "??". Expat hands over valid UTF-8 only; a malformed
// sequence is nevertheless taken byte by byte as '?' rather than read past the piece. Kept out of
// line: it is the rare case, and the plain-ASCII path stays small.
[[gnu::noinline]] void appendConverted(std::string& out, const char* data, std::size_t count) {
    out.reserve(out.size() + count);
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const auto* const end = p + count;
    while (p < end) {
        const unsigned char lead = *p;
        const auto left = static_cast<std::size_t>(end - p);
        if (lead < 0x80U) {
            out.push_back(static_cast<char>(lead));
            ++p;
        } else if (lead >= 0xC2U && lead <= 0xDFU && left >= 2 && isContinuation(p[1])) {
            const unsigned code = ((lead & 0x1FU) << 6U) | (p[1] & 0x3FU);
            out.push_back(code <= 0xFFU ? static_cast<char>(code) : '?');
            p += 2;
        } else if (lead >= 0xE0U && lead <= 0xEFU && left >= 3 && isContinuation(p[1]) &&
                   isContinuation(p[2])) {
            out.push_back('?');  // U+0800 and above: one unit, never Latin-1
            p += 3;
        } else if (lead >= 0xF0U && lead <= 0xF4U && left >= 4 && isContinuation(p[1]) &&
                   isContinuation(p[2]) && isContinuation(p[3])) {
            out.append("??");  // a surrogate pair
            p += 4;
        } else {
            out.push_back('?');
            ++p;
        }
    }
}

// Compares two zero-terminated names, folding ASCII letters only. Rows are scanned at every tag,
// so this avoids measuring either name first.
bool sameNameNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const auto ca = static_cast<unsigned char>(*a);
        const auto cb = static_cast<unsigned char>(*b);
        if (ca == cb) {
            if (ca == 0) {
                return true;
            }
            continue;
        }
        const unsigned lower = ca | 0x20U;
        if ((ca ^ cb) != 0x20U || lower < 'a' || lower > 'z') {
            return false;
        }
    }
}

}  // namespace

// Inlined into expat's callback: it runs for every piece of text.
[[gnu::always_inline]] inline void Parser::characterData(const char* data, int count) {
    const auto size = static_cast<std::size_t>(count > 0 ? count : 0);
    if (isOn(charDataGroup_)) {
        logCharacterData(charDataGroup_, data, size);
    }
    // Most pieces are plain ASCII: one append, which grows the string at most once.
    if (isAscii(data, size)) {
        charData_.append(data, size);
    } else {
        appendConverted(charData_, data, size);
    }
}

// Expat's callbacks. A C++ exception must never unwind through expat's C frames, so each callback
// catches whatever its handler throws, stops the parser and leaves the exception for doParse to
// rethrow. Expat may still deliver an event or two after being stopped; they are ignored.
struct Parser::Callbacks {
    static void XMLCALL start(void* user, const XML_Char* name, const XML_Char** attributes) {
        auto& self = *static_cast<Parser*>(user);
        if (self.pending_) {
            return;
        }
        try {
            self.startElement(name, attributes);
        } catch (...) {
            self.stopWith(std::current_exception());
        }
    }

    static void XMLCALL end(void* user, const XML_Char* name) {
        auto& self = *static_cast<Parser*>(user);
        if (self.pending_) {
            return;
        }
        try {
            self.endElement(name);
        } catch (...) {
            self.stopWith(std::current_exception());
        }
    }

    static void XMLCALL text(void* user, const XML_Char* data, int count) {
        auto& self = *static_cast<Parser*>(user);
        if (self.pending_) {
            return;
        }
        try {
            self.characterData(data, count);
        } catch (...) {
            self.stopWith(std::current_exception());
        }
    }
};

void Parser::ExpatFree::operator()(XML_ParserStruct* parser) const noexcept {
    XML_ParserFree(parser);
}

Parser::Parser(const ElementHandler* table) : table_(table) {
    if (table_ == nullptr) {
        return;
    }
    // Counting sort of the rows into their groups, keeping table order within each group.
    std::size_t rows = 0;
    for (const ElementHandler* row = table_; row->event != kEndOfTable; ++row) {
        if ((row->event == kStartTag || row->event == kEndTag) && row->name != nullptr) {
            ++groupStart_[groupOf(row->event, row->name) + 1];
            ++rows;
        }
    }
    for (std::size_t group = 1; group < groupStart_.size(); ++group) {
        groupStart_[group] += groupStart_[group - 1];
    }
    candidates_.resize(rows);
    auto next = groupStart_;
    for (const ElementHandler* row = table_; row->event != kEndOfTable; ++row) {
        if ((row->event == kStartTag || row->event == kEndTag) && row->name != nullptr) {
            candidates_[next[groupOf(row->event, row->name)]++] = row;
        }
    }
}

std::size_t Parser::groupOf(std::int32_t event, const char* name) {
    // Names equal ignoring case have first bytes equal once bit 0x20 is set.
    const unsigned letter = (static_cast<unsigned char>(name[0]) | 0x20U) % kLetterGroups;
    return static_cast<std::size_t>(event) * kLetterGroups + letter;
}

Parser::~Parser() = default;

void Parser::setLogGroups(const CMessageGroup* elements, const CMessageGroup* tagStack,
                          const CMessageGroup* charData) {
    elementsGroup_ = elements;
    tagStackGroup_ = tagStack;
    charDataGroup_ = charData;
}

std::string Parser::tagStackText() const {
    std::string text;
    for (const std::string& name : tagStack_) {
        text += ':';
        text += name;
    }
    return text;
}

XML_ParserStruct* Parser::createExpat() {
    if (expat_) {
        // A handler parsing again on its own parser would free the expat parser under its caller.
        throw Exception("XML parse failed: parse called from a handler of the running parse");
    }
    expat_.reset(XML_ParserCreate(nullptr));
    if (!expat_) {
        throw Exception("XML parse failed: can't create the expat parser (out of memory)");
    }
    return expat_.get();
}

void Parser::parse(const char* data, int count) {
    createExpat();
    // The handle lives only while this parse runs, whichever way it ends.
    struct Release {
        Parser& owner;
        ~Release() { owner.expat_.reset(); }
    } release{*this};
    doParse(data, count);
}

void Parser::doParse(const char* data, int count) {
    XML_Parser parser = expat_.get();
    if (parser == nullptr) {
        throw Exception("XML parse failed: no expat parser (doParse runs only inside parse)");
    }
    if (count < 0 || (data == nullptr && count != 0)) {
        throw Exception("XML parse failed: invalid document buffer of " + std::to_string(count) +
                        " bytes");
    }
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &Callbacks::start, &Callbacks::end);
    XML_SetCharacterDataHandler(parser, &Callbacks::text);

    pending_ = nullptr;
    // The document is fed in pieces, the last one marked final. Expat copies what it is given into
    // a buffer of its own, so one whole-document call would hold a large answer twice; in pieces
    // its buffer stays near one piece. Events, text and error positions are the same either way;
    // only the points where character data is split into callbacks can move.
    XML_Status status = XML_STATUS_OK;
    int offset = 0;
    do {
        const int piece = std::min(count - offset, kPieceBytes);
        const bool last = offset + piece == count;
        status = XML_Parse(parser, data + offset, piece, last ? XML_TRUE : XML_FALSE);
        offset += piece;
        if (last) {
            break;
        }
    } while (status == XML_STATUS_OK && !pending_);
    if (pending_) {
        std::rethrow_exception(std::exchange(pending_, nullptr));
    }
    if (status != XML_STATUS_OK) {
        throwParseError();
    }
}

void Parser::throwParseError() {
    XML_Parser parser = expat_.get();
    const XML_Error code = XML_GetErrorCode(parser);
    const XML_LChar* text = XML_ErrorString(code);
    throw Exception("XML parse failed (" + std::to_string(static_cast<int>(code)) + ":L" +
                    std::to_string(XML_GetCurrentLineNumber(parser)) + "/C" +
                    std::to_string(XML_GetCurrentColumnNumber(parser)) +
                    "): " + (text != nullptr ? text : "unknown error"));
}

void Parser::beginPieces() {
    XML_Parser parser = createExpat();
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &Callbacks::start, &Callbacks::end);
    XML_SetCharacterDataHandler(parser, &Callbacks::text);
    pending_ = nullptr;
    held_.clear();
    heldAt_ = nullptr;
    fedAny_ = false;
}

char* Parser::pieceBuffer(std::size_t capacity) {
    if (!expat_) {
        throw Exception("XML parse failed: no document begun (pieceBuffer before beginPieces)");
    }
    const std::size_t held = held_.size();
    if (held + capacity == 0) {
        // Nothing to write: some expat builds answer a request for 0 bytes with null before
        // their buffer exists, which is not a lack of memory.
        room_ = &emptyRoom_;
        heldAt_ = nullptr;
        return room_;
    }
    void* room = capacity <= static_cast<std::size_t>(std::numeric_limits<int>::max()) - held
                     ? XML_GetBuffer(expat_.get(), static_cast<int>(held + capacity))
                     : nullptr;
    if (room == nullptr) {
        expat_.reset();
        throw Exception("XML parse failed: can't get a buffer of " + std::to_string(capacity) +
                        " bytes (out of memory)");
    }
    room_ = static_cast<char*>(room);
    // The held bytes lead the room; they are still in place unless expat has moved its data.
    if (held > 0 && room_ != heldAt_) {
        std::memcpy(room_, held_.data(), held);
    }
    heldAt_ = room_;
    return room_ + held;
}

// On any failure the expat parser is released before the exception leaves, as parse() does.
void Parser::checkPiece(int status) {
    if (pending_) {
        expat_.reset();
        std::rethrow_exception(std::exchange(pending_, nullptr));
    }
    if (status != XML_STATUS_OK) {
        struct Release {
            Parser& owner;
            ~Release() { owner.expat_.reset(); }
        } release{*this};
        throwParseError();
    }
}

namespace {

bool endsAToken(char c) {
    return c == '>' || c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

}  // namespace

void Parser::parsePiece(std::size_t count) {
    if (!expat_) {
        throw Exception("XML parse failed: no document begun (parsePiece before beginPieces)");
    }
    const std::size_t held = held_.size();
    const std::size_t total = held + count;
    // Expat gets what ends after the last ">" or whitespace; the held bytes hold neither.
    std::size_t cut = total;
    while (cut > held && !endsAToken(room_[cut - 1])) {
        --cut;
    }
    if (cut == held) {
        cut = 0;
    }
    if (cut == 0 && total >= kMaxHeld) {
        cut = total;  // a long run without either: expat takes it all
    }
    if (!fedAny_ && cut < kHeadBytes) {
        cut = total >= kMaxHeld ? total : 0;
    }
    if (cut == 0) {
        held_.append(room_ + held, count);
        return;
    }
    held_.assign(room_ + cut, total - cut);
    heldAt_ = room_ + cut;  // where expat's buffer ends once it has taken the rest
    fedAny_ = true;
    checkPiece(XML_ParseBuffer(expat_.get(), static_cast<int>(cut), XML_FALSE));
}

void Parser::finishPieces() {
    if (!expat_) {
        throw Exception("XML parse failed: no document begun (finishPieces before beginPieces)");
    }
    checkPiece(XML_Parse(expat_.get(), held_.data(), static_cast<int>(held_.size()), XML_TRUE));
    held_.clear();
    expat_.reset();
}

void Parser::onStartElement(const char* /*name*/, const char** /*attributes*/) {}

void Parser::onEndElement(const char* /*name*/) {}

void Parser::stopWith(std::exception_ptr error) noexcept {
    pending_ = std::move(error);
    XML_StopParser(expat_.get(), XML_FALSE);
}

void Parser::startElement(const char* name, const char** attributes) {
    tagStack_.emplace_back(name);
    if (isOn(elementsGroup_)) {
        logStartElement(elementsGroup_, name, attributes);
    }
    if (isOn(tagStackGroup_)) {
        logTagStack(tagStackGroup_, tagStack_);
    }
    charData_.clear();
    onStartElement(name, attributes);
    dispatch(kStartTag, name);
}

void Parser::endElement(const char* name) {
    if (isOn(elementsGroup_)) {
        logEndElement(elementsGroup_, name);
    }
    if (isOn(tagStackGroup_)) {
        logTagStack(tagStackGroup_, tagStack_);
    }
    onEndElement(name);
    dispatch(kEndTag, name);
    if (!tagStack_.empty()) {
        tagStack_.pop_back();
    }
}

void Parser::dispatch(std::int32_t event, const char* name) {
    const std::size_t group = groupOf(event, name);
    for (std::uint32_t i = groupStart_[group]; i < groupStart_[group + 1]; ++i) {
        const ElementHandler& row = *candidates_[i];
        if (sameNameNoCase(row.name, name)) {
            if (row.handler != nullptr) {
                row.handler(*this);
            }
            return;  // at most one row fires per tag: the first in table order
        }
    }
}

void writeEscapedBytes(std::ostream& out, const char* data, std::size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte >= 32 && byte <= 126) {
            continue;
        }
        out.write(data + runStart, static_cast<std::streamsize>(i - runStart));
        const char escaped[4] = {'<', kHex[byte >> 4U], kHex[byte & 0x0FU], '>'};
        out.write(escaped, sizeof escaped);
        runStart = i + 1;
    }
    out.write(data + runStart, static_cast<std::streamsize>(count - runStart));
}

}  // namespace expat
