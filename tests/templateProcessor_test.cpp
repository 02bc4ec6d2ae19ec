#include "templateProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "support/tempDir.h"

namespace {

using templateProcessor::TemplateProcessor;
using namespace std::string_literals;

// Hands out its text one byte per underflow, as a pipe or a slow socket might; with `breaks` set
// it then fails the way a broken device does, by throwing, instead of reporting the end.
class OneByteBuf : public std::streambuf {
  public:
    explicit OneByteBuf(std::string text, bool breaks = false)
        : text_(std::move(text)), breaks_(breaks) {}

  protected:
    int_type underflow() override {
        if (next_ >= text_.size()) {
            if (breaks_) {
                throw std::runtime_error("device failed");
            }
            return traits_type::eof();
        }
        current_ = text_[next_++];
        setg(&current_, &current_, &current_ + 1);
        return traits_type::to_int_type(current_);
    }

  private:
    std::string text_;
    bool breaks_;
    std::size_t next_ = 0;
    char current_ = 0;
};

std::string render(TemplateProcessor& processor, const std::string& text) {
    std::istringstream in(text);
    std::ostringstream out;
    processor.process(in, out);
    return out.str();
}

std::string renderByteByByte(TemplateProcessor& processor, const std::string& text) {
    OneByteBuf buf(text);
    std::istream in(&buf);
    std::ostringstream out;
    processor.process(in, out);
    return out.str();
}

void setStandardVariables(TemplateProcessor& processor) {
    processor.setVariable("MIN-LOUNGE-UPDATE-INTERVAL", "5 minutes");
    processor.setVariable("X", "1");
    processor.setVariable("Markup", "{%X%}");
}

struct RenderCase {
    const char* label;
    std::string text;
    std::string expected;
};

void PrintTo(const RenderCase& renderCase, std::ostream* os) {
    *os << renderCase.label;
}

class Render : public testing::TestWithParam<RenderCase> {};

TEST_P(Render, GivesTheSameTextWholeAndByteByByte) {
    TemplateProcessor processor;
    setStandardVariables(processor);
    EXPECT_EQ(render(processor, GetParam().text), GetParam().expected);
    EXPECT_EQ(renderByteByByte(processor, GetParam().text), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    TemplateRules, Render,
    testing::Values(
        RenderCase{"Variable", "Every {%MIN-LOUNGE-UPDATE-INTERVAL%}.", "Every 5 minutes."},
        RenderCase{"VariableAnyCase", "Every {%min-lounge-update-interval%}.", "Every 5 minutes."},
        RenderCase{"Unknown", "a{%UNKNOWN%}b", "a{%UNKNOWN%}b"},
        RenderCase{"SpacesAreNotTrimmed", "{% MIN-LOUNGE-UPDATE-INTERVAL %}",
                   "{% MIN-LOUNGE-UPDATE-INTERVAL %}"},
        RenderCase{"ValueIsNotRendered", "{%Markup%}", "{%X%}"},
        RenderCase{"PercentInName", "{%X%%}", "{%X%%}"},
        RenderCase{"BraceBeforeMarker", "{{%X%}", "{1"},
        RenderCase{"LoneBraces", "{ } %} {x {", "{ } %} {x {"},
        RenderCase{"Empty", "", ""},
        RenderCase{"BytesPassThrough", "a\r\nb\xE9\xFF\0c{%X%}\r\n"s, "a\r\nb\xE9\xFF\0c1\r\n"s},
        RenderCase{"UnterminatedMarker", "abc{%NAM", "abc"},
        RenderCase{"RepeatIsAVariableMarker", "<{%REPEAT%}>", "<{%REPEAT%}>"},
        RenderCase{"Block", "{%REPEAT%rows}A{%X%}B{%/REPEAT%}C", "A1BC"},
        RenderCase{"ClosingAnyCase", "{%repeat%a}x{%/Repeat%}y", "xy"},
        RenderCase{"Nested", "{%REPEAT%a}1{%REPEAT%b}2{%/REPEAT%}3{%/REPEAT%}4", "1234"},
        RenderCase{"StrayClosing", "a{%/REPEAT%}b", "a{%/REPEAT%}b"},
        RenderCase{"UnclosedBlock", "<{%REPEAT%a}x{%X%}y", "<x1y"},
        RenderCase{"UnclosedBlockName", "<{%REPEAT%abc", "<"},
        // "{%REPEAT%" opens a nested block while a body is collected, even as part of
        // "{%REPEAT%}", so one more closing marker is needed.
        RenderCase{"RepeatMarkerInBodyNeedsAnotherClosing",
                   "{%REPEAT%a}p{%REPEAT%}q{%/REPEAT%}r{%/REPEAT%}s", "p{%REPEAT%}q{%/REPEAT%}rs"},
        RenderCase{"RepeatMarkerInBodyLeavesBlockOpen", "{%REPEAT%a}p{%REPEAT%}q{%/REPEAT%}r",
                   "p{%REPEAT%}q{%/REPEAT%}r"}),
    [](const testing::TestParamInfo<RenderCase>& param) { return std::string(param.param.label); });
// clang-format on

TEST(TemplateVariables, LaterSettingOverwritesAnyCaseAndValuesPersistAcrossCalls) {
    TemplateProcessor processor;
    processor.setVariable("Name", "first");
    processor.setVariable("NAME", "second");
    processor.setVariable("Other", "");
    EXPECT_EQ(render(processor, "{%name%}|{%OTHER%}|"), "second||");
    EXPECT_EQ(render(processor, "{%nAmE%}"), "second");

    std::string value = "untouched";
    EXPECT_FALSE(processor.getVariable("Nam", value));
    EXPECT_FALSE(processor.getVariable("Names", value));
    EXPECT_EQ(value, "untouched");
}

// Renders each block three times; PASS names the innermost block and its pass, PATH lists the
// blocks being rendered.
class PassingProcessor : public TemplateProcessor {
  public:
    bool continueRepeat(const std::string& name, std::size_t pass) override {
        asked.emplace_back(name, pass);
        EXPECT_EQ(repeatNames().back(), name);
        passes_.resize(repeatNames().size());
        passes_.back() = pass;
        return pass <= 3;
    }

    bool getVariable(const std::string& name, std::string& value) override {
        if (name == "PASS") {
            value = repeatNames().back() + std::to_string(passes_.at(repeatNames().size() - 1));
            return true;
        }
        if (name == "PATH") {
            value.clear();
            for (const std::string& block : repeatNames()) {
                value += "/" + block;
            }
            return true;
        }
        if (name == "FAIL" && passes_.back() == failOnPass) {
            throw std::runtime_error("no value");
        }
        return TemplateProcessor::getVariable(name, value);
    }

    std::vector<std::pair<std::string, std::size_t>> asked;
    std::size_t failOnPass = 0;
    using TemplateProcessor::repeatNames;

  private:
    std::vector<std::size_t> passes_;
};

TEST(TemplateRepeat, DerivedHooksRenderEachPassWithItsOwnValues) {
    PassingProcessor processor;
    processor.setVariable("X", "1");
    EXPECT_EQ(render(processor, "{%REPEAT%rows}A{%X%}B{%/REPEAT%}"), "A1BA1BA1B");
    // Block names are trimmed, unless they are blank only.
    EXPECT_EQ(render(processor, "<{%REPEAT% \t rows\r\n }{%PASS%},{%/REPEAT%}>"),
              "<rows1,rows2,rows3,>");
    EXPECT_EQ(render(processor, "<{%REPEAT%   }{%PASS%},{%/REPEAT%}>"), "<   1,   2,   3,>");
    EXPECT_TRUE(processor.repeatNames().empty());
}

TEST(TemplateRepeat, NestedBlocksSeeTheStackOfNames) {
    PassingProcessor processor;
    const std::string text =
        "{%REPEAT%outer}{%PASS%}({%REPEAT%inner}{%PATH%}={%PASS%} {%/REPEAT%}){%/REPEAT%}!";
    const std::string inners = "/outer/inner=inner1 /outer/inner=inner2 /outer/inner=inner3 ";
    EXPECT_EQ(renderByteByByte(processor, text),
              "outer1(" + inners + ")outer2(" + inners + ")outer3(" + inners + ")!");

    // Each block is asked once more than it renders; inner blocks are asked anew on every pass.
    std::vector<std::pair<std::string, std::size_t>> expected;
    for (std::size_t outer = 1; outer <= 3; ++outer) {
        expected.emplace_back("outer", outer);
        for (std::size_t inner = 1; inner <= 4; ++inner) {
            expected.emplace_back("inner", inner);
        }
    }
    expected.emplace_back("outer", 4);
    EXPECT_EQ(processor.asked, expected);
}

TEST(TemplateRepeat, StackIsEmptyAgainWhenAHookThrows) {
    PassingProcessor processor;
    processor.failOnPass = 2;
    EXPECT_THROW(render(processor, "{%REPEAT%a}{%REPEAT%b}{%FAIL%}{%/REPEAT%}{%/REPEAT%}"),
                 std::runtime_error);
    EXPECT_TRUE(processor.repeatNames().empty());
    processor.failOnPass = 0;
    EXPECT_EQ(render(processor, "{%REPEAT%a}{%PATH%};{%/REPEAT%}"), "/a;/a;/a;");
}

// Blocks nested beyond the limit are written back as they stood; deep nesting must not exhaust
// the stack.
class DeepNesting : public testing::TestWithParam<std::size_t> {};

TEST_P(DeepNesting, RendersUpToTheLimitAndWritesTheRestBack) {
    const std::size_t depth = GetParam();
    const auto times = [](std::size_t count, const std::string& piece) {
        std::string all;
        for (std::size_t i = 0; i < count; ++i) {
            all += piece;
        }
        return all;
    };
    const std::string text = times(depth, "{%Repeat%  n }x") + times(depth, "{%/repeat%}");
    const std::size_t rendered = std::min(depth, TemplateProcessor::kMaxRepeatNesting);
    const std::string expected = std::string(rendered, 'x') +
                                 times(depth - rendered, "{%Repeat%  n }x") +
                                 times(depth - rendered, "{%/repeat%}");
    TemplateProcessor processor;
    EXPECT_EQ(render(processor, text), expected);
}

INSTANTIATE_TEST_SUITE_P(Depths, DeepNesting,
                         testing::Values(1, TemplateProcessor::kMaxRepeatNesting,
                                         TemplateProcessor::kMaxRepeatNesting + 1, 20000));

TEST(TemplateStreams, LargeTemplateFromAFileRendersCompletely) {
    std::string text;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        text += "line " + std::to_string(i) + " {%X%}\t{%REPEAT%r}<{%x%}>{%/REPEAT%} {%NO%}\r\n";
        expected += "line " + std::to_string(i) + " 7\t<7> {%NO%}\r\n";
    }
    // One block whose body is larger than any stream buffer.
    const std::string bigBody(3 << 20, 'b');
    text += "{%REPEAT%big}" + bigBody + "{%/REPEAT%}end{%X%";
    expected += bigBody + "end";

    testing_support::TempDir dir;
    std::ifstream in(dir.write("Big.template", text), std::ios::binary);
    ASSERT_TRUE(in.is_open());
    TemplateProcessor processor;
    processor.setVariable("X", "7");
    std::ostringstream out;
    processor.process(in, out);
    EXPECT_EQ(out.str(), expected);
    EXPECT_TRUE(in.eof());
}

TEST(TemplateStreams, FailingInputEndsTheTemplateLikeItsEnd) {
    TemplateProcessor processor;
    processor.setVariable("X", "1");
    {
        OneByteBuf buf("a{%X%}b{%REPEAT%r}c", true);
        std::istream in(&buf);
        std::ostringstream out;
        processor.process(in, out);
        EXPECT_EQ(out.str(), "a1bc");
        EXPECT_TRUE(in.bad());
    }
    {
        // A stream that asks for exceptions gets the buffer's own.
        OneByteBuf buf("a", true);
        std::istream in(&buf);
        in.exceptions(std::ios_base::badbit);
        std::ostringstream out;
        EXPECT_THROW(processor.process(in, out), std::runtime_error);
        EXPECT_TRUE(in.bad());
    }
    {
        std::istringstream in("{%X%}");
        in.setstate(std::ios_base::failbit);
        std::ostringstream out;
        processor.process(in, out);
        EXPECT_EQ(out.str(), "");
    }
}

}  // namespace
