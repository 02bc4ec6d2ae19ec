// Reading the web service's interval answer: the digits directly before the first "</int>".
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "updateIntervals.h"

namespace {

using namespace std::string_literals;

struct AnswerCase {
    const char* label;
    std::string body;
    std::int32_t seconds;
};

void PrintTo(const AnswerCase& c, std::ostream* out) {
    *out << c.label;
}

class IntervalAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(IntervalAnswer, ReadsTheMinutesBeforeTheFirstClosingTag) {
    EXPECT_EQ(plugin::parseIntervalAnswer(GetParam().body), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, IntervalAnswer,
    testing::Values(
        AnswerCase{"minutes in seconds", "<?xml version=\"1.0\"?><int>15</int>", 900},
        AnswerCase{"the first of two decides", "<int>7</int><int>9</int>", 420},
        AnswerCase{"the first of two decides when empty", "<int></int><int>9</int>", 0},
        AnswerCase{"the first of two decides, text between", "<a>2</int> and <b>30</int>", 120},
        AnswerCase{"minus sign is not a digit", "<int>-5</int>", 300},
        AnswerCase{"only the run before the tag", "<int>1 5</int>", 300},
        AnswerCase{"letters before the tag", "<int>abc</int>", 0},
        AnswerCase{"digits from the very first byte", "7</int>", 420},
        AnswerCase{"no closing tag", "<int>15<int>", plugin::kDefaultInterval},
        AnswerCase{"empty answer", "", plugin::kDefaultInterval},
        AnswerCase{"a zero byte ends the text", "<int>15\0</int>"s, plugin::kDefaultInterval},
        AnswerCase{"a zero byte after the tag", "<int>15</int>\0<int>9</int>"s, 900},
        AnswerCase{"huge values saturate", "<int>99999999999999999999</int>",
                   (INT32_MAX / 60) * 60}));

}  // namespace
