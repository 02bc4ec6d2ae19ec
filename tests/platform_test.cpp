#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/path.h"

namespace {

struct SplitCase {
    std::string path, drive, directory, name, extension;
};

class SplitPath : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPath, SplitsIntoFourParts) {
    const SplitCase& c = GetParam();
    const platform::PathParts parts = platform::splitPath(c.path);
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.name, c.name);
    EXPECT_EQ(parts.extension, c.extension);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SplitPath,
    ::testing::Values(SplitCase{"C:\\feeds\\dovetrail.ini", "C:", "\\feeds\\", "dovetrail", ".ini"},
                      SplitCase{"/etc/feeds/dovetrail.ini", "", "/etc/feeds/", "dovetrail", ".ini"},
                      SplitCase{"dovetrail.ini", "", "", "dovetrail", ".ini"},
                      SplitCase{"a/b\\c.d.e", "", "a/b\\", "c.d", ".e"},
                      SplitCase{"dir.x/file", "", "dir.x/", "file", ""},
                      SplitCase{"/only/dir/", "", "/only/dir/", "", ""},
                      SplitCase{".profile", "", "", "", ".profile"},
                      SplitCase{"C:name", "C:", "", "name", ""}, SplitCase{"", "", "", "", ""}));

TEST(MakePath, JoinsWithTheRunTimeLibrarysRules) {
    EXPECT_EQ(platform::makePath("C:", "\\feeds\\", "", ""), "C:\\feeds\\");
    EXPECT_EQ(platform::makePath("C", "\\feeds", "x", "log"), "C:\\feeds\\x.log");
    EXPECT_EQ(platform::makePath("", "/tmp/feeds/", "Dovetrail.log", ""), "/tmp/feeds/Dovetrail.log");
    EXPECT_EQ(platform::makePath("", "", "Dovetrail.log", ""), "Dovetrail.log");
    EXPECT_EQ(platform::makePath("", "", "", ".ini"), ".ini");
}

TEST(MakePath, SplitAndJoinRoundTripsPathsLongerThanAnyFixedBuffer) {
    std::string directory;
    while (directory.size() < 5000) {
        directory += "/a-rather-long-directory-name";
    }
    const std::string path = directory + "/dovetrail.ini";
    const platform::PathParts parts = platform::splitPath(path);
    EXPECT_EQ(parts.directory, directory + "/");
    EXPECT_EQ(platform::makePath(parts.drive, parts.directory, parts.name, parts.extension), path);
}

TEST(SystemError, LastErrorIsThreadLocalErrno) {
    platform::setLastError(ENOENT);
    EXPECT_EQ(platform::lastError(), static_cast<unsigned long>(ENOENT));
    EXPECT_EQ(errno, ENOENT);
}

TEST(SystemError, TextForKnownNumbersOnlyOnOneLine) {
    const std::string text = platform::systemErrorText(ENOENT);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(platform::systemErrorText(0), "");
    EXPECT_EQ(platform::systemErrorText(12029), "");  // no system text for such numbers
    EXPECT_EQ(platform::systemErrorText(0xFFFFFFFFul), "");
}

}  // namespace
