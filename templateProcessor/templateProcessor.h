// Renders a text template: copies an input stream to an output stream, replacing "{%NAME%}" by the
// value of the variable NAME and rendering repeat blocks ("{%REPEAT%name}body{%/REPEAT%}") once per
// pass that continueRepeat() allows.
//
// Rules (malformed templates are never errors):
//  - Variable names are looked up ignoring ASCII letter case but not spaces; an unknown marker is
//    written back exactly as it stood. Values are written as they are, never rendered again.
//  - "{%REPEAT%" followed by a block name up to the first "}" opens a block; the name is trimmed.
//    "{%REPEAT%}" is a plain variable marker named REPEAT. The block ends at the matching
//    "{%/REPEAT%}" (any letter case); nested blocks nest. An unclosed block takes the rest of the
//    input as its body, an unterminated marker discards the rest of the input.
//  - Blocks nested deeper than kMaxRepeatNesting are written back as they stood, unrendered, so
//    that no template can exhaust the stack or multiply its size in memory without bound.
//  - A failing input stream ends the input as its end does. Stream state is set as the standard
//    unformatted get/peek/put operations would set it, exceptions included.
//
// Every step is virtual: a derived class may supply variables (getVariable), drive repeat blocks
// (continueRepeat) and read repeatNames() to know which blocks it is in.
//
// Thread-safety: one thread at a time per processor. The processor owns its variables; it never
// keeps a reference to the streams it is given.
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "stringUtil.h"
#include "textCase.h"

namespace templateProcessor {

class TemplateProcessor {
  public:
    // Depth of repeat blocks rendered inside one another beyond which a block is written back
    // unrendered. Real templates nest a few levels at most.
    static constexpr std::size_t kMaxRepeatNesting = 32;

    TemplateProcessor() = default;
    virtual ~TemplateProcessor() = default;

    TemplateProcessor(const TemplateProcessor&) = delete;
    TemplateProcessor& operator=(const TemplateProcessor&) = delete;

    // Looks the name up ignoring letter case; on a hit copies the value and returns true, otherwise
    // returns false and leaves `value` alone.
    virtual bool getVariable(const std::string& name, std::string& value);

    // Asked before each pass over a repeat block with the trimmed block name and the 1-based number
    // of the pass about to be rendered. The base renders every block exactly once.
    virtual bool continueRepeat(const std::string& name, std::size_t pass);

    // Renders the whole of `in` into `out`.
    virtual void process(std::istream& in, std::ostream& out);

    // Renders one marker whose "{%" has just been read from `in`.
    virtual void processMarker(std::istream& in, std::ostream& out);

    // Collects the body of a block whose "{%REPEAT%name}" has just been read, up to and including
    // its closing marker, and renders it once per accepted pass with `name` on top of the
    // repeat-name stack.
    virtual void processRepeat(std::istream& in, std::ostream& out, const std::string& name);

    // Stores `value` under `name`. A name equal to an existing one ignoring case overwrites its
    // value; the key keeps the spelling it was first set with.
    void setVariable(const std::string& name, const std::string& value);

  protected:
    // Names of the blocks whose passes are running, outermost first, innermost last. Empty outside
    // processRepeat().
    const std::vector<std::string>& repeatNames() const noexcept { return repeatNames_; }

  private:
    std::map<std::string, std::string, text::LessNoCase> variables_;
    std::vector<std::string> repeatNames_;
};

}  // namespace templateProcessor
