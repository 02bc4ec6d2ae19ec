#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "support/system.h"
#include "support/tempDir.h"

// One table of cases for both implementations: the POSIX reader and, in the Windows build, the
// system's own functions. The expectations are Windows' answers. Where Wine's functions answer
// otherwise, the test says so and accepts Wine's answer only under Wine; where the POSIX reader
// answers otherwise on purpose, the test says so too.

namespace {

using testing_support::TempDir;
using testing_support::underWine;
using namespace std::string_literals;

// Wine's answer where it differs from Windows', by case name.
template <typename Value>
Value expectedHere(const char* name, Value windows, const std::map<std::string, Value>& wine) {
    if (underWine()) {
        if (const auto found = wine.find(name); found != wine.end()) {
            return found->second;
        }
    }
    return windows;
}

// Calls getPrivateProfileString with a buffer of `size` bytes and returns the bytes up to and
// including the terminator that ends the result (two for the list forms), so cuts are visible.
struct ProfileRead {
    std::size_t count;
    std::string bytes;
};

ProfileRead readString(const std::string& path, const char* section, const char* key,
                       const char* defaultValue, std::size_t size) {
    std::vector<char> buffer(size + 1, '#');  // one guard byte past the end
    const std::size_t count =
        platform::getPrivateProfileString(section, key, defaultValue, buffer.data(), size, path);
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    std::string bytes(buffer.data(), size);
    if (section == nullptr || key == nullptr) {
        const std::size_t listEnd = bytes.find("\0\0"s);
        bytes.resize(listEnd == std::string::npos ? size : listEnd + 2);
    } else {
        bytes.resize(std::min(size, count + 1));
    }
    return {count, bytes};
}

std::string value(const std::string& path, const char* section, const char* key,
                  const char* defaultValue = "DEF") {
    const ProfileRead read = readString(path, section, key, defaultValue, 256);
    EXPECT_EQ(read.bytes.size(), read.count + 1);
    EXPECT_EQ(read.bytes.back(), '\0');
    return read.bytes.substr(0, read.count);
}

struct LookupCase {
    const char* name;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;
};

void PrintTo(const LookupCase& c, std::ostream* out) {
    *out << c.name;
}

class ProfileLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookup, FindsTheValueOrTheDefault) {
    const LookupCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.write("test.ini", c.file);
    const std::map<std::string, std::string> wine = {
        // Wine takes a line without "=" for a key without a value, whose value is the default.
        {"lineWithoutEqualsIsNotAKey", "DEF"},
        // Wine finds a key with an empty name.
        {"emptyKeyNameIsNotAKey", "x"},
        // Wine skips a byte order mark at the start of the file.
        {"byteOrderMarkAtStart", "1"},
    };
    // Files saved as "UTF-8 with BOM" keep their first section with the POSIX reader, which
    // skips the mark as Wine's functions do; Windows' do not, and the first line is no section
    // header (the plug-in logs a warning for such a file).
    const std::map<std::string, std::string> posix = {{"byteOrderMarkAtStart", "1"}};
    const auto ours = posix.find(c.name);
    EXPECT_EQ(value(path, c.section, c.key),
              !testing_support::onWindows() && ours != posix.end()
                  ? ours->second
                  : expectedHere(c.name, c.expected, wine));
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, ProfileLookup,
    testing::Values(
        LookupCase{"plain", "[Config]\nHostName=example.org\n", "Config", "HostName",
                   "example.org"},
        LookupCase{"sectionAndKeyIgnoreCase", "[CONFIG]\nhostNAME=x\n", "config", "HostName", "x"},
        LookupCase{"blanksAroundNamesInFile", "  [ Config ]  \n\t HostName \t= x\n", "Config",
                   "HostName", "x"},
        LookupCase{"blanksAroundRequestedNames", "[Config]\nHostName=x\n", " Config\t",
                   "  HostName ", "x"},
        LookupCase{"valueBlanksDropped", "[S]\nk = \t a b \t \n", "S", "k", "a b"},
        LookupCase{"doubleQuotesRemoved", "[S]\nk = \" a b \" \n", "S", "k", " a b "},
        LookupCase{"singleQuotesRemoved", "[S]\nk='x'\n", "S", "k", "x"},
        LookupCase{"onlyOnePairRemoved", "[S]\nk=\"\"x\"\"\n", "S", "k", "\"x\""},
        LookupCase{"mismatchedQuotesKept", "[S]\nk=\"x'\n", "S", "k", "\"x'"},
        LookupCase{"loneQuoteKept", "[S]\nk=\"\n", "S", "k", "\""},
        LookupCase{"emptyQuotesGiveEmpty", "[S]\nk=\"\"\n", "S", "k", ""},
        LookupCase{"emptyValueIsNotMissing", "[S]\nk=\n", "S", "k", ""},
        LookupCase{"equalsInsideValue", "[S]\nk=a=b\n", "S", "k", "a=b"},
        LookupCase{"semicolonInsideValue", "[S]\nk=a ; b\n", "S", "k", "a ; b"},
        LookupCase{"missingKey", "[S]\nother=1\n", "S", "k", "DEF"},
        LookupCase{"missingSection", "[T]\nk=1\n", "S", "k", "DEF"},
        LookupCase{"sectionNameIsNotAPrefix", "[S2]\nk=1\n[S]\nk=2\n", "S", "k", "2"},
        LookupCase{"keyNameIsNotAPrefix", "[S]\nkey=1\nk=2\n", "S", "k", "2"},
        LookupCase{"keyOfNextSectionNotSeen", "[S]\na=1\n[T]\nk=2\n", "S", "k", "DEF"},
        LookupCase{"keyBeforeAnySectionNotSeen", "k=0\n[S]\nk=1\n", "S", "k", "1"},
        LookupCase{"firstDuplicateKeyWins", "[S]\nk=first\nK=second\n", "S", "k", "first"},
        LookupCase{"onlyFirstSameNamedSection", "[S]\na=1\n[T]\n[s]\nk=2\n", "S", "k", "DEF"},
        LookupCase{"commentIsNotAKey", "[S]\n;k=1\n  ; k=2\nk=3\n", "S", "k", "3"},
        LookupCase{"commentedSectionIgnored", "[S]\n;[T]\nk=1\n", "S", "k", "1"},
        LookupCase{"lineWithoutEqualsIsNotAKey", "[S]\nk\nk=1\n", "S", "k", "1"},
        LookupCase{"emptyKeyNameIsNotAKey", "[S]\n=x\n", "S", "", "DEF"},
        LookupCase{"textAfterSectionBracket", "[S] ; note\nk=1\n", "S", "k", "1"},
        LookupCase{"crLfLineEnds", "[S]\r\na=1\r\nk=2\r\n", "S", "k", "2"},
        LookupCase{"loneCrLineEnds", "[S]\ra=1\rk=2\r", "S", "k", "2"},
        LookupCase{"mixedLineEnds", "[S]\r\r\n\n\ra=1\n\rk=2", "S", "k", "2"},
        LookupCase{"lastLineWithoutEnd", "[S]\nk=2", "S", "k", "2"},
        LookupCase{"byteOrderMarkAtStart", "\xEF\xBB\xBF[S]\nk=1\n", "S", "k", "DEF"},
        LookupCase{"byteOrderMarkOnlyAtStart", "[S]\n\xEF\xBB\xBFk=1\n", "S", "k", "DEF"},
        LookupCase{"emptyFile", "", "S", "k", "DEF"},
        LookupCase{"highBytesKept", "[S]\nk=caf\xE9\n", "S", "k", "caf\xE9"},
        // The end-of-file byte Ctrl-Z is a blank.
        LookupCase{"ctrlZIsABlank", "[S]\nk=\x1A a\x1A \x1A\n\x1A", "S", "k", "a"},
        LookupCase{"ctrlZAroundNames", "[\x1AS\x1A]\n\x1Ak\x1A=1\n", "S", "k", "1"}),
    [](const testing::TestParamInfo<LookupCase>& param) { return param.param.name; });

TEST(ProfileFile, MissingFileOrDirectoryGivesDefaultWithoutTrailingBlanks) {
    TempDir dir;
    // Wine strips only spaces from the default.
    EXPECT_EQ(value(dir.file("absent.ini"), "S", "k", "  d e  \t "),
              underWine() ? "  d e  \t" : "  d e");
    EXPECT_EQ(value(dir.path().string(), "S", "k", "d"), "d");
    EXPECT_EQ(value(dir.file("absent.ini"), "S", "k", nullptr), "");
}

TEST(ProfileFile, ABareFileNameIsInTheWorkingDirectory) {
    TempDir dir;
    dir.write("bare.ini", "[S]\nk=here\n");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const std::string found = value("bare.ini", "S", "k");
    const int number = platform::getPrivateProfileInt("S", "k", 5, "bare.ini");
    std::filesystem::current_path(previous);
    EXPECT_EQ(found, "here");
    EXPECT_EQ(number, 0);
}

TEST(ProfileFile, LinesOfAnyLengthAcrossReadChunks) {
    TempDir dir;
    const std::string longValue(1'000'003, 'v');
    const std::string path =
        dir.write("long.ini", "[S]\r\nlong=" + longValue + "\r\n" + std::string(70'000, ';') +
                                  "\r\nk=after\r\n");
    EXPECT_EQ(value(path, "S", "k"), "after");
    const ProfileRead read = readString(path, "S", "long", "", longValue.size() + 1);
    EXPECT_EQ(read.count, longValue.size());
    EXPECT_EQ(read.bytes, longValue + '\0');
}

struct CutCase {
    std::size_t size;
    std::size_t count;
    std::string bytes;
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << "size " << c.size;
}

class ProfileValueCut : public testing::TestWithParam<CutCase> {};

TEST_P(ProfileValueCut, CutsToTheBuffer) {
    TempDir dir;
    const std::string path = dir.write("cut.ini", "[S]\nk=abcdef\n");
    const ProfileRead read = readString(path, "S", "k", "", GetParam().size);
    EXPECT_EQ(read.count, GetParam().count);
    EXPECT_EQ(read.bytes, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProfileValueCut,
                         testing::Values(CutCase{0, 0, ""}, CutCase{1, 0, "\0"s},
                                         CutCase{2, 1, "a\0"s}, CutCase{6, 5, "abcde\0"s},
                                         CutCase{7, 6, "abcdef\0"s}, CutCase{8, 6, "abcdef\0"s}));

TEST(ProfileValueCut, DefaultIsCutToo) {
    TempDir dir;
    const ProfileRead read = readString(dir.file("absent.ini"), "S", "k", "abcdef", 4);
    EXPECT_EQ(read.count, 3U);
    EXPECT_EQ(read.bytes, "abc\0"s);
}

constexpr const char* kListFile =
    "[Other]\nx=1\n"
    "[S]\n"
    "  first = 1\n"
    "; hidden=1\n"
    "no equals here\n"
    "Second=\n"
    "first=again\n"
    "[ Third ]\n"
    "[s]\n"
    "notSeen=1\n";

class ProfileKeyList : public testing::TestWithParam<CutCase> {};

TEST_P(ProfileKeyList, ListsKeysInFileOrderCutToTheBuffer) {
    TempDir dir;
    const std::string path = dir.write("list.ini", kListFile);
    const std::size_t size = GetParam().size;
    if (underWine() && size >= 2 && size <= 20) {
        // Wine cuts a list that fills the buffer without its second zero byte, so a caller must
        // not rely on one (the message groups' reader keeps its own). Nothing is written past
        // the buffer, which readString checks.
        readString(path, "s", nullptr, "ignored", size);
        return;
    }
    const ProfileRead read = readString(path, "s", nullptr, "ignored", size);
    EXPECT_EQ(read.count, GetParam().count);
    EXPECT_EQ(read.bytes, GetParam().bytes);
}

// The whole list "first\0Second\0first\0\0" needs 20 bytes.
INSTANTIATE_TEST_SUITE_P(Sizes, ProfileKeyList,
                         testing::Values(CutCase{100, 19, "first\0Second\0first\0\0"s},
                                         CutCase{20, 19, "first\0Second\0first\0\0"s},
                                         CutCase{19, 17, "first\0Second\0firs\0\0"s},
                                         CutCase{8, 6, "first\0\0"s}, CutCase{7, 5, "first\0\0"s},
                                         CutCase{3, 1, "f\0\0"s}, CutCase{2, 0, "\0\0"s},
                                         CutCase{1, 0, "\0"s}));

TEST(ProfileKeyList, MissingOrEmptySectionGivesAnEmptyList) {
    TempDir dir;
    const std::string path = dir.write("list.ini", kListFile);
    // Wine gives the default instead, as a one-name list.
    const std::string empty = underWine() ? "d\0"s : "\0\0"s;
    EXPECT_EQ(readString(path, "Absent", nullptr, "d", 10).bytes.substr(0, 2), empty);
    EXPECT_EQ(readString(path, "Third", nullptr, "d", 10).bytes.substr(0, 2), empty);
    EXPECT_EQ(readString(dir.file("absent.ini"), "S", nullptr, "d", 10).bytes.substr(0, 2), empty);
    // With an empty default Wine writes one zero byte.
    EXPECT_EQ(readString(path, "Absent", nullptr, "", 10).bytes.substr(0, underWine() ? 1 : 2),
              underWine() ? "\0"s : "\0\0"s);
}

TEST(ProfileKeyList, SectionListInFileOrder) {
    TempDir dir;
    const std::string path = dir.write("list.ini", kListFile);
    const ProfileRead read = readString(path, nullptr, nullptr, "", 100);
    EXPECT_EQ(read.bytes, "Other\0S\0Third\0s\0\0"s);
    EXPECT_EQ(read.count, 16U);
}

struct IntCase {
    const char* name;
    const char* line;
    int expected;
};

void PrintTo(const IntCase& c, std::ostream* out) {
    *out << c.name;
}

class ProfileInt : public testing::TestWithParam<IntCase> {};

TEST_P(ProfileInt, ReadsTheLeadingDecimalNumber) {
    TempDir dir;
    const std::string path = dir.write("int.ini", std::string("[S]\n") + GetParam().line + "\n");
    const std::map<std::string, int> wine = {
        {"empty", -77},        // Wine gives the default for an empty value
        {"hexIsNotRead", 16},  // and reads "0x" numbers as hexadecimal
    };
    EXPECT_EQ(platform::getPrivateProfileInt("s", "K", -77, path),
              expectedHere(GetParam().name, GetParam().expected, wine));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileInt,
    testing::Values(
        IntCase{"one", "k=1", 1}, IntCase{"zero", "k=0", 0}, IntCase{"negative", "k=-15", -15},
        IntCase{"plus", "k=+7", 7}, IntCase{"trailingText", "k=12abc", 12},
        IntCase{"blanks", "k =  42  ", 42}, IntCase{"quoted", "k=\"9\"", 9},
        IntCase{"word", "k=yes", 0}, IntCase{"empty", "k=", 0}, IntCase{"signOnly", "k=-", 0},
        IntCase{"hexIsNotRead", "k=0x10", 0}, IntCase{"innerBlank", "k=- 5", 0},
        // Beyond 32 bits the number wraps modulo 2^32.
        IntCase{"twoToThe32", "k=4294967296", 0}, IntCase{"twoToThe32PlusOne", "k=4294967297", 1},
        IntCase{"minusTwoToThe32MinusOne", "k=-4294967297", -1},
        IntCase{"allOnes", "k=4294967295", -1}, IntCase{"maxPlusOne", "k=2147483648", INT_MIN},
        IntCase{"max", "k=2147483647", INT_MAX},
        IntCase{"tooLarge", "k=99999999999999999999", 1661992959},
        IntCase{"tooSmall", "k=-99999999999999999999", -1661992959},
        IntCase{"min", "k=-2147483648", INT_MIN}, IntCase{"missing", "other=1", -77}),
    [](const testing::TestParamInfo<IntCase>& param) { return param.param.name; });

TEST(ProfileInt, MissingFileGivesDefault) {
    TempDir dir;
    EXPECT_EQ(platform::getPrivateProfileInt("S", "k", 5, dir.file("absent.ini")), 5);
}

}  // namespace
