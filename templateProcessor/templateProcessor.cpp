#include "templateProcessor.h"

#include <ios>
#include <streambuf>
#include <string_view>
#include <utility>

namespace templateProcessor {

namespace {

using Traits = std::char_traits<char>;

constexpr std::string_view kRepeatOpen = "{%REPEAT%";
constexpr std::string_view kRepeatClose = "{%/REPEAT%}";
// What a marker's name reads once "{%REPEAT%" has been seen.
constexpr std::string_view kRepeatName = "REPEAT%";

bool isEof(Traits::int_type c) {
    return Traits::eq_int_type(c, Traits::eof());
}

// A stream buffer that threw leaves its stream bad. As the standard operations do, the exception
// travels on only when the stream asks for exceptions on badbit.
void setBadAfterThrow(std::ios& stream) {
    if ((stream.exceptions() & std::ios_base::badbit) != 0) {
        try {
            stream.setstate(std::ios_base::badbit);
        } catch (const std::ios_base::failure&) {
            // The buffer's own exception is the one to report.
        }
        throw;
    }
    stream.setstate(std::ios_base::badbit);
}

// The template is read one character at a time; going to the stream buffer directly instead of
// through istream::get/peek saves a sentry per character and is several times faster, while the
// stream state ends up as those operations would leave it.
[[gnu::always_inline]] inline Traits::int_type readChar(std::istream& in) {
    if (!in.good()) {
        in.setstate(std::ios_base::failbit);
        return Traits::eof();
    }
    Traits::int_type c;
    try {
        c = in.rdbuf()->sbumpc();
    } catch (...) {
        setBadAfterThrow(in);
        return Traits::eof();
    }
    if (isEof(c)) {
        in.setstate(std::ios_base::eofbit | std::ios_base::failbit);
    }
    return c;
}

[[gnu::always_inline]] inline Traits::int_type peekChar(std::istream& in) {
    if (!in.good()) {
        in.setstate(std::ios_base::failbit);
        return Traits::eof();
    }
    Traits::int_type c;
    try {
        c = in.rdbuf()->sgetc();
    } catch (...) {
        setBadAfterThrow(in);
        return Traits::eof();
    }
    if (isEof(c)) {
        in.setstate(std::ios_base::eofbit);
    }
    return c;
}

[[gnu::always_inline]] inline void writeChar(std::ostream& out, char c) {
    if (!out.good()) {
        out.setstate(std::ios_base::failbit);
        return;
    }
    try {
        if (isEof(out.rdbuf()->sputc(c))) {
            out.setstate(std::ios_base::badbit);
        }
    } catch (...) {
        setBadAfterThrow(out);
    }
}

void writeText(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Reads a repeat block's body up to its matching closing marker, counting every "{%REPEAT%" in the
// body as a nested opening. Returns whether the closing marker was found; it is then the last part
// of `body`.
bool collectBody(std::istream& in, std::string& body) {
    std::size_t depth = 0;
    for (;;) {
        // Only a body ending in '%' or '}' can end in a marker; this keeps the common case cheap.
        if (!body.empty()) {
            const char last = body.back();
            if (last == '%' && text::endsWithNoCase(body, kRepeatOpen)) {
                ++depth;
            } else if (last == '}' && text::endsWithNoCase(body, kRepeatClose)) {
                if (depth == 0) {
                    return true;
                }
                --depth;
            }
        }
        const Traits::int_type c = readChar(in);
        if (isEof(c)) {
            return false;
        }
        body.push_back(Traits::to_char_type(c));
    }
}

// Read-only view of a block body for one pass, so that passes share the one copy of the body
// instead of each taking its own. The buffer is never written through: putting back a different
// character fails as it does on an input string stream.
class BodyBuf : public std::streambuf {
  public:
    explicit BodyBuf(std::string_view text) {
        char* begin = const_cast<char*>(text.data());
        setg(begin, begin, begin + text.size());
    }

  protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override {
        if ((which & std::ios_base::in) == 0) {
            return pos_type(off_type(-1));
        }
        off_type base = 0;
        if (dir == std::ios_base::cur) {
            base = gptr() - eback();
        } else if (dir == std::ios_base::end) {
            base = egptr() - eback();
        }
        const off_type target = base + offset;
        if (target < 0 || target > egptr() - eback()) {
            return pos_type(off_type(-1));
        }
        setg(eback(), eback() + target, egptr());
        return pos_type(target);
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }
};

// Keeps a block's name on the repeat-name stack while its passes run, also when a hook throws.
class RepeatNameGuard {
  public:
    RepeatNameGuard(std::vector<std::string>& names, const std::string& name) : names_(names) {
        names_.push_back(name);
    }
    ~RepeatNameGuard() { names_.pop_back(); }
    RepeatNameGuard(const RepeatNameGuard&) = delete;
    RepeatNameGuard& operator=(const RepeatNameGuard&) = delete;

  private:
    std::vector<std::string>& names_;
};

}  // namespace

bool TemplateProcessor::getVariable(const std::string& name, std::string& value) {
    const auto found = variables_.find(name);
    if (found == variables_.end()) {
        return false;
    }
    value = found->second;
    return true;
}

bool TemplateProcessor::continueRepeat(const std::string& /*name*/, std::size_t pass) {
    return pass == 1;
}

void TemplateProcessor::process(std::istream& in, std::ostream& out) {
    // What the input sentry would do before each read; once per call is enough.
    if (in.good() && in.tie() != nullptr) {
        in.tie()->flush();
    }
    for (;;) {
        const Traits::int_type c = readChar(in);
        if (isEof(c)) {
            break;
        }
        if (c == '{' && peekChar(in) == '%') {
            readChar(in);
            processMarker(in, out);
        } else {
            writeChar(out, Traits::to_char_type(c));
        }
    }
    if ((out.flags() & std::ios_base::unitbuf) != 0) {
        out.flush();
    }
}

void TemplateProcessor::processMarker(std::istream& in, std::ostream& out) {
    std::string name;
    for (;;) {
        const Traits::int_type c = readChar(in);
        if (isEof(c)) {
            return;  // unterminated marker: dropped with the rest of the input
        }
        const char ch = Traits::to_char_type(c);
        if (ch == '%' && peekChar(in) == '}') {
            readChar(in);
            std::string value;
            if (getVariable(name, value)) {
                writeText(out, value);
            } else {
                writeText(out, "{%");
                writeText(out, name);
                writeText(out, "%}");
            }
            return;
        }
        name.push_back(ch);
        if (name.size() == kRepeatName.size() && text::equalsNoCase(name, kRepeatName)) {
            break;
        }
    }

    // A repeat block: its name runs up to the first '}'.
    std::string blockName;
    bool nameClosed = false;
    for (;;) {
        const Traits::int_type c = readChar(in);
        if (isEof(c)) {
            break;
        }
        if (c == '}') {
            nameClosed = true;
            break;
        }
        blockName.push_back(Traits::to_char_type(c));
    }

    if (repeatNames_.size() >= kMaxRepeatNesting) {
        // Too deep to render: reproduce the block as it stood, like an unknown marker.
        std::string body;
        collectBody(in, body);
        writeText(out, "{%");
        writeText(out, name);
        writeText(out, blockName);
        if (nameClosed) {
            writeText(out, "}");
        }
        writeText(out, body);
        return;
    }

    misc::trim(blockName);
    processRepeat(in, out, blockName);
}

void TemplateProcessor::processRepeat(std::istream& in, std::ostream& out,
                                      const std::string& name) {
    std::string body;
    if (collectBody(in, body)) {
        body.resize(body.size() - kRepeatClose.size());
    }

    const RepeatNameGuard onStack(repeatNames_, name);
    for (std::size_t pass = 1; continueRepeat(name, pass); ++pass) {
        // Each pass renders the body afresh, so hooks may give other values on each pass.
        BodyBuf passBuf(body);
        std::istream passIn(&passBuf);
        process(passIn, out);
    }
}

void TemplateProcessor::setVariable(const std::string& name, const std::string& value) {
    // operator[] keeps the key of an existing entry, so the first spelling stays.
    variables_[name] = value;
}

}  // namespace templateProcessor
