#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ini.h"
#include "support/system.h"
#include "support/tempDir.h"

namespace {

using namespace std::string_literals;
using testing_support::TempDir;

struct StringCase {
    const char* name;
    std::string line;  // the line of section [S]; the key read is "k"
    std::string defaultValue;
    bool trim;
    std::string expected;
};

void PrintTo(const StringCase& c, std::ostream* out) {
    *out << c.name;
}

class IniString : public testing::TestWithParam<StringCase> {};

TEST_P(IniString, DecodesAndTrims) {
    const StringCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.write("test.ini", "[S]\n" + c.line + "\n");
    EXPECT_EQ(tools::getIniString(path, "s", "K", c.defaultValue, c.trim), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniString,
    testing::Values(StringCase{"decoded", "k=%41%42", "", true, "AB"},
                    StringCase{"escapedBlanksTrimmed", "k=%20abc%20", "", true, "abc"},
                    StringCase{"incompleteEscapeKept", "k=100%", "", true, "100%"},
                    StringCase{"nonHexEscapeKept", "k=%zz", "", true, "%zz"},
                    StringCase{"decodedInOnePass", "k=%2541", "", true, "%41"},
                    StringCase{"allWhitespaceBecomesEmpty", "k=%20%09%0D%0A%0B%0C", "x", true, ""},
                    StringCase{"untrimmedKeepsEscapedBlanks", "k=%20abc%09", "", false, " abc\t"},
                    StringCase{"innerBlanksKept", "k=\" a  b \"", "", true, "a  b"},
                    StringCase{"quotedBlanksUntrimmed", "k=\" a \"", "", false, " a "},
                    StringCase{"zeroByteKept", "k=%00x%20", "", true, "\0x"s},
                    StringCase{"missingKeyDecodesDefault", "other=1", "%20%41%25", true, "A%"},
                    StringCase{"missingKeyDefaultUntrimmed", "other=1", "%20a", false, " a"},
                    StringCase{"emptyValueIsNotDefault", "k=", "x", true, ""}),
    [](const testing::TestParamInfo<StringCase>& param) { return param.param.name; });

class IniLongString : public testing::TestWithParam<std::size_t> {};

TEST_P(IniLongString, ReturnsTheWholeValue) {
    TempDir dir;
    std::string longValue(GetParam(), 'x');
    longValue.back() = 'y';  // a cut would lose the last byte
    const std::string path = dir.write("long.ini", "[S]\nk=" + longValue + "\nnext=1\n");
    EXPECT_EQ(tools::getIniString(path, "S", "k", "", true), longValue);
    EXPECT_EQ(tools::getIniString(dir.file("absent.ini"), "S", "k", longValue, true), longValue);
}

INSTANTIATE_TEST_SUITE_P(Lengths, IniLongString,
                         testing::Values(4094, 4095, 4096, 8191, 8192, 20'000));

TEST(IniSectionNames, InFileOrderWithoutEmptyNames) {
    TempDir dir;
    const std::string path =
        dir.write("test.ini", "k=0\n[ a ]\nk=1\n[]\n[B]\n; [c]\n[A]\n[%41]\n");
    EXPECT_EQ(tools::getIniSectionNames(path), (std::vector<std::string>{"a", "B", "A", "%41"}));
    EXPECT_TRUE(tools::getIniSectionNames(dir.file("absent.ini")).empty());
}

// The list's length in bytes, each name with its zero byte: around the sizes at which the buffer
// grows, a cut list and one that just fits must both come back whole.
class IniLongSectionList : public testing::TestWithParam<std::size_t> {};

TEST_P(IniLongSectionList, ReturnsEveryName) {
    std::vector<std::string> names;
    std::string text;
    for (std::size_t left = GetParam(); left > 0;) {
        // Names of up to 9 bytes, the last ones sized to end the list exactly (never empty).
        const std::size_t length = left <= 10 ? left - 1 : left == 11 ? 5 : 9;
        std::string name(length, static_cast<char>('a' + names.size() % 26));
        left -= length + 1;
        text += "[" + name + "]\nk=1\n";
        names.push_back(std::move(name));
    }
    TempDir dir;
    EXPECT_EQ(tools::getIniSectionNames(dir.write("long.ini", text)), names);
}

INSTANTIATE_TEST_SUITE_P(Lengths, IniLongSectionList,
                         testing::Values(4092, 4093, 4094, 4095, 8189, 8190, 8191, 20'000));

struct BoolCase {
    const char* name;
    std::string line;
    bool defaultValue;
    bool expected;
};

void PrintTo(const BoolCase& c, std::ostream* out) {
    *out << c.name;
}

class IniBool : public testing::TestWithParam<BoolCase> {};

TEST_P(IniBool, TrueForALeadingNonZeroNumber) {
    const BoolCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.write("test.ini", "[S]\n" + c.line + "\n");
    // Wine gives the default for an empty value.
    const bool expected = testing_support::underWine() && std::string(c.name) == "empty"
                              ? c.defaultValue
                              : c.expected;
    EXPECT_EQ(tools::getIniBool(path, "S", "k", c.defaultValue), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniBool,
    testing::Values(BoolCase{"one", "k=1", false, true}, BoolCase{"two", "k=2", false, true},
                    BoolCase{"negative", "k=-1", false, true}, BoolCase{"zero", "k=0", true, false},
                    BoolCase{"yes", "k=yes", true, false}, BoolCase{"true", "k=true", true, false},
                    BoolCase{"empty", "k=", true, false},
                    BoolCase{"numberThenText", "k=1 please", false, true},
                    // The number wraps at 32 bits, as on Windows: 2^32 is 0.
                    BoolCase{"wrapsToZero", "k=4294967296", true, false},
                    BoolCase{"notDecoded", "k=%31", true, false},
                    BoolCase{"missingFalse", "other=1", false, false},
                    BoolCase{"missingTrue", "other=0", true, true}),
    [](const testing::TestParamInfo<BoolCase>& param) { return param.param.name; });

}  // namespace
