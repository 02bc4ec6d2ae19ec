// A thin layer over the expat library: parses one XML document held in memory, keeps the stack of
// open element names and the text of the current element (converted from UTF-8 to Latin-1), logs
// every event to three optional message groups, and dispatches start and end tags to the operations
// that a static element handler table names.
//
// Ownership: the handler table and the message groups are borrowed and must outlive the parser; the
// expat parser handle is owned and exists only while parse() runs.
// Threads: one parser object is used by one thread at a time; different objects are independent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iosfwd>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

struct XML_ParserStruct;  // expat's parser; XML_Parser is a pointer to it
class CMessageGroup;

namespace expat {

class Parser;

// Event kinds of an element handler table row.
inline constexpr std::int32_t kStartTag = 0;
inline constexpr std::int32_t kEndTag = 1;
inline constexpr std::int32_t kEndOfTable = -1;

// A handler is called on the parser object when its row fires. Use memberHandler<&Derived::op> to
// name an operation of the concrete parser class.
using HandlerFunction = void (*)(Parser&);

// One row of an element handler table: a static, read-only array ended by a kEndOfTable row. Rows
// of any other event kind are skipped.
struct ElementHandler {
    std::int32_t event;       // kStartTag, kEndTag or kEndOfTable
    HandlerFunction handler;  // null only in the kEndOfTable row
    const char* name;         // element name, compared ignoring ASCII letter case
};

namespace detail {
template <typename>
struct MemberOf;
template <typename C>
struct MemberOf<void (C::*)()> {
    using Class = C;
};
}  // namespace detail

// Adapts a member operation `void Derived::op()` of a class derived from Parser to a table row's
// handler, so that tables can stay constexpr:
//   static constexpr expat::ElementHandler kTable[] = {
//       {expat::kStartTag, expat::memberHandler<&MyParser::onItem>, "Item"},
//       {expat::kEndOfTable, nullptr, nullptr}};
template <auto Operation>
void memberHandler(Parser& parser) {
    using Derived = typename detail::MemberOf<decltype(Operation)>::Class;
    static_assert(std::is_base_of_v<Parser, Derived>,
                  "the operation must belong to a parser class");
    (static_cast<Derived&>(parser).*Operation)();
}

// The failure of a parse: a one-line message, returned by what().
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

class Parser {
  public:
    // `table` may be null; then no row ever fires.
    explicit Parser(const ElementHandler* table);
    virtual ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Groups for "START/END ELEMENT" lines, "TagStack" lines and "CHARACTER DATA" lines; each may
    // be null (nothing logged). A line is written only while its group is enabled. A "TagStack"
    // line is tagStackText() while at most 8 elements are open; deeper, it is "(N open, innermost
    // 8)" followed by the 8 innermost names, and a name longer than 64 bytes is cut to them and
    // "...", so that a deeply nested document cannot make the log grow with the square of its
    // depth.
    void setLogGroups(const CMessageGroup* elements, const CMessageGroup* tagStack,
                      const CMessageGroup* charData);

    // Parses the whole document. Throws Exception when it is not well-formed (handlers that fired
    // before the error have had their effect); an exception thrown by a handler or hook stops the
    // parse and passes through unchanged. Does not reset the tag stack or the character data.
    void parse(const char* data, int count);

    // Parses a document that arrives in pieces, each written straight into expat's own buffer, so
    // that the document is never held whole and never copied by the parser:
    //   parser.beginPieces();
    //   for each piece: char* room = parser.pieceBuffer(n); write up to n bytes; parsePiece(count);
    //   parser.finishPieces();
    // Events, text, errors and their line and column are those of parse() over the joined pieces;
    // only the points where character data is split into callbacks depend on the piece edges.
    // Expat itself is not quite so even-handed, so the pieces it is handed are cut anew: it guesses
    // the encoding from the first bytes it gets (so it gets at least four at once), and after the
    // document element it takes a name cut by the end of a piece for junk at once, where the whole
    // document shows an invalid token further on (so what it gets ends after a ">" or whitespace;
    // the bytes after it wait for the next piece, up to 64 KiB).
    // Failures throw as parse() does; after any exception the expat parser is released and the
    // object is ready for another document. Sizes are per piece, so a document has no size limit.
    void beginPieces();
    // Room for the next piece, at least `capacity` bytes, valid until parsePiece.
    char* pieceBuffer(std::size_t capacity);
    // Parses the first `count` bytes of the room as the next piece.
    void parsePiece(std::size_t count);
    // Ends the document: reports what only its end can show (an unclosed element, no element).
    void finishPieces();

    // Latin-1 text received since the most recent start tag of any element.
    const std::string& charData() const { return charData_; }
    // Open elements, outermost first.
    const std::vector<std::string>& tagStack() const { return tagStack_; }
    // ":" and the name of each open element, outermost first (":a:b:c"); empty for no elements.
    std::string tagStackText() const;

  protected:
    // Installs the callbacks and runs expat over the bytes as one final piece; throws on failure.
    virtual void doParse(const char* data, int count);
    // Hooks called at every start and end tag before the table dispatch; they do nothing here.
    // `attributes` alternates names and values and ends with a null.
    virtual void onStartElement(const char* name, const char** attributes);
    virtual void onEndElement(const char* name);

  private:
    struct ExpatFree {
        void operator()(XML_ParserStruct* parser) const noexcept;
    };
    struct Callbacks;

    XML_ParserStruct* createExpat();
    [[noreturn]] void throwParseError();
    void checkPiece(int status);

    void startElement(const char* name, const char** attributes);
    void endElement(const char* name);
    void characterData(const char* data, int count);
    void dispatch(std::int32_t event, const char* name);
    static std::size_t groupOf(std::int32_t event, const char* name);
    void stopWith(std::exception_ptr error) noexcept;

    const ElementHandler* table_;
    // The table's start and end rows with a name, grouped by event kind and by the first letter of
    // the name folded to lower case, each group in table order: the rows that can match a tag are
    // found without walking the whole table at every tag.
    static constexpr std::size_t kLetterGroups = 32;
    std::vector<const ElementHandler*> candidates_;
    std::array<std::uint32_t, 2 * kLetterGroups + 1> groupStart_{};
    std::unique_ptr<XML_ParserStruct, ExpatFree> expat_;
    std::vector<std::string> tagStack_;
    std::string charData_;
    const CMessageGroup* elementsGroup_ = nullptr;
    const CMessageGroup* tagStackGroup_ = nullptr;
    const CMessageGroup* charDataGroup_ = nullptr;
    // The piece interface: the room last lent (its first held_.size() bytes are the held ones),
    // the bytes that wait for the next piece, where they stand in expat's buffer (so that they need
    // not be copied back while it has not moved), and whether expat has been given anything yet.
    static constexpr std::size_t kHeadBytes = 4;
    static constexpr std::size_t kMaxHeld = 0x10000;
    char* room_ = nullptr;
    char emptyRoom_ = 0;  // what pieceBuffer(0) hands out before expat has a buffer
    std::string held_;
    const char* heldAt_ = nullptr;
    bool fedAny_ = false;
    // An exception thrown by a handler during the running parse, rethrown once expat has returned:
    // it must never unwind through expat's C frames.
    std::exception_ptr pending_;
};

// Writes `count` bytes to `out`: bytes 32 to 126 unchanged, every other byte as "<%02x>" of its
// unsigned value (a tab as <09>, a line feed as <0a>, the byte 0xE9 as <e9>).
void writeEscapedBytes(std::ostream& out, const char* data, std::size_t count);

}  // namespace expat
