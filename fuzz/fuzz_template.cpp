// Renders arbitrary templates. The first byte chooses the options (variables set, repeat passes);
// the rest is the template. Checks what holds for every template: text without "{%" comes out
// unchanged, unknown markers come back as they stood, nothing is rendered more often than the
// passes allow, and the stream buffer's way of delivering the text makes no difference.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>

#include "fuzzCheck.h"
#include "stringUtil.h"
#include "templateProcessor.h"

namespace {

using templateProcessor::TemplateProcessor;

constexpr std::pair<const char*, const char*> kVariables[] = {
    {"A", "{%A%}"},  // markers inside a value are written as they are
    {"min-lounge-update-interval", "5 minutes"},
    {"REPEAT", "r"},
    {"/REPEAT", ""},
    {" x ", "spaced"},
};

// Checks the repeat-name stack at every pass and, when asked, renders shallow blocks twice.
class CheckingProcessor : public TemplateProcessor {
  public:
    explicit CheckingProcessor(bool twoPasses) : twoPasses_(twoPasses) {}

    bool continueRepeat(const std::string& name, std::size_t pass) override {
        FUZZ_CHECK(!repeatNames().empty() && repeatNames().back() == name);
        FUZZ_CHECK(repeatNames().size() <= kMaxRepeatNesting);
        FUZZ_CHECK(name.empty() || (!misc::isSpace(name.front()) && !misc::isSpace(name.back())) ||
                   std::all_of(name.begin(), name.end(), misc::isSpace));
        const std::size_t passes = twoPasses_ && repeatNames().size() <= 3 ? 2 : 1;
        return pass <= passes;
    }

    bool stackEmpty() const { return repeatNames().empty(); }

  private:
    bool twoPasses_;
};

// Hands the text out one byte per underflow, as a pipe would.
class OneByteBuf : public std::streambuf {
  public:
    explicit OneByteBuf(std::string_view text) : text_(text) {}

  protected:
    int_type underflow() override {
        if (next_ >= text_.size()) {
            return traits_type::eof();
        }
        current_ = text_[next_++];
        setg(&current_, &current_, &current_ + 1);
        return traits_type::to_int_type(current_);
    }

  private:
    std::string_view text_;
    std::size_t next_ = 0;
    char current_ = 0;
};

std::size_t count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos;
         at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned options = data[0];
    const bool withVariables = (options & 1U) != 0;
    const bool twoPasses = (options & 2U) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    CheckingProcessor processor(twoPasses);
    std::size_t longestValue = 0;
    if (withVariables) {
        for (const auto& [name, value] : kVariables) {
            processor.setVariable(name, value);
            longestValue = std::max(longestValue, std::string_view(value).size());
        }
    }

    std::istringstream in{std::string(text)};
    std::ostringstream out;
    processor.process(in, out);
    const std::string rendered = out.str();
    FUZZ_CHECK(processor.stackEmpty());

    OneByteBuf slowBuf(text);
    std::istream slowIn(&slowBuf);
    std::ostringstream slowOut;
    processor.process(slowIn, slowOut);
    FUZZ_CHECK(slowOut.str() == rendered);

    if (text.find("{%") == std::string_view::npos) {
        FUZZ_CHECK(rendered == text);
    }
    if (!twoPasses) {
        // Each input byte is written at most once; only a variable's value adds text.
        FUZZ_CHECK(rendered.size() <= text.size() + count(text, "%}") * longestValue);
        if (!withVariables && upper(text).find("REPEAT%") == std::string::npos) {
            // Unknown markers come back unchanged; only an unterminated one is dropped.
            FUZZ_CHECK(text.substr(0, rendered.size()) == rendered);
        }
    }
    return 0;
}
