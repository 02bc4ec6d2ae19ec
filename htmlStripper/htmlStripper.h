// Reduces a fragment of HTML to its text in one pass: removes tags and comments, drops everything
// inside SCRIPT elements and copies all other characters unchanged (entities are not decoded, and
// nothing is inserted where a tag was). Two options, both off after construction: collapsing runs
// of spaces and tabs, and a set of kept tags that are written back in a normalised form and
// recorded with their parameters and enclosed text. Malformed markup is never an error: an
// unterminated tag or comment discards the rest of the input.
//
// Ownership: the stripper owns its result and tag records; TextRanges point into the result and are
// valid until the next process() call or the stripper's destruction.
// Threads: one stripper is used by one thread at a time.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "textCase.h"

namespace htmlStripper {

// A piece of a stripper's result.
struct TextRange {
    const std::string* text = nullptr;  // the result it refers to; null for a default range
    std::size_t start = 0;
    std::size_t length = 0;

    std::string_view view() const {
        return text == nullptr ? std::string_view() : std::string_view(*text).substr(start, length);
    }
    std::string str() const { return std::string(view()); }
};

struct TagParam {
    TextRange name;
    TextRange value;  // start 0 and length 0 for a parameter written without a value
};

// One kept opening tag.
struct TagRecord {
    std::string name;             // as written in the input, letter case kept
    std::size_t startOffset = 0;  // position of the tag's rebuilt "<" in the result
    std::size_t endOffset = 0;    // result length when the record was closed
    std::vector<TagParam> params;
    TextRange data;  // from just after the rebuilt tag to where the record was closed
};

class HtmlStripper {
  public:
    HtmlStripper() = default;
    virtual ~HtmlStripper() = default;
    // Tag records point into the result, so a copy would point into the wrong string.
    HtmlStripper(const HtmlStripper&) = delete;
    HtmlStripper& operator=(const HtmlStripper&) = delete;

    // Replaces the result and the tag records; keeps the options. The input is referenced only
    // while process runs. The result never grows beyond the input's length, and its capacity is
    // reserved to that length up front.
    virtual void process(const std::string& html);

    const std::string& result() const { return result_; }

    // When on, a space or tab that follows whitespace in the result is dropped.
    void setCollapseWhitespace(bool collapse) { collapseWhitespace_ = collapse; }

    // Adds a tag name (letter case ignored) whose opening and closing tags are written back into
    // the result; each opening tag gets a record. Open TABLE, TR, TD and IMG records are also
    // closed by tags that cannot stand inside them.
    void keepTag(const std::string& name) { keptTags_.insert(name); }

    // The records of the last process call, in order of creation.
    const std::vector<TagRecord>& tagRecords() const { return tagRecords_; }

  private:
    // A scanned tag's name: "/" when `closing`, followed by `bare`. A view into the input, because
    // whitespace after a leading "/" is skipped ("</ td>" is the name "/td").
    struct TagName {
        bool closing = false;
        std::string_view bare;

        bool equalsNoCase(std::string_view name) const;
        bool isClosingOf(std::string_view name) const {
            return closing && text::equalsNoCase(bare, name);
        }
    };

    bool scanTag(TagName& name, std::string_view& params);
    void handleTag(const TagName& name, std::string_view params);
    void parseParams(TagRecord& record, std::size_t start, std::size_t end) const;
    void closeRecords(const TagName& name, std::size_t tagStart);
    void closeAtEnd();

    bool collapseWhitespace_ = false;
    std::set<std::string, text::LessNoCase> keptTags_;
    const std::string* input_ = nullptr;
    std::size_t position_ = 0;
    bool inScript_ = false;
    std::string result_;
    std::vector<TagRecord> tagRecords_;
    // Indices into tagRecords_ of the records not yet closed, oldest first.
    std::vector<std::size_t> openRecords_;
};

}  // namespace htmlStripper
