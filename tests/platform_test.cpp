#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/messageBox.h"
#include "platform/path.h"
#include "support/system.h"

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
    // Where the run-time library has _splitpath and _makepath, they agree.
    std::string runtime[4];
    if (testing_support::runtimeSplitPath(c.path, runtime)) {
        EXPECT_EQ(runtime[0], c.drive);
        EXPECT_EQ(runtime[1], c.directory);
        EXPECT_EQ(runtime[2], c.name);
        EXPECT_EQ(runtime[3], c.extension);
        std::string joined;
        ASSERT_TRUE(
            testing_support::runtimeMakePath(c.drive, c.directory, c.name, c.extension, joined));
        EXPECT_EQ(platform::makePath(c.drive, c.directory, c.name, c.extension), joined);
    }
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

// In code page 932 the second byte of many characters is 0x5C, the backslash: U+8868 is 0x95 0x5C.
// The Windows build runs this test again under that code page (LC_ALL=ja_JP.SJIS to Wine).
TEST(DoubleBytePath, TrailBytesAreNoSeparators) {
    if (testing_support::ansiCodePage() != 932) {
        if (std::getenv("DOVETRAIL_TEST_CODE_PAGE") != nullptr) {
            FAIL() << "the run asked for code page 932 but has " << testing_support::ansiCodePage();
        }
        GTEST_SKIP() << "needs the ANSI code page 932 (now " << testing_support::ansiCodePage()
                     << ")";
    }
    const std::string table = "\x95\x5C";
    const platform::PathParts parts = platform::splitPath("C:\\" + table + "\\" + table + ".ini");
    EXPECT_EQ(parts.drive, "C:");
    EXPECT_EQ(parts.directory, "\\" + table + "\\");
    EXPECT_EQ(parts.name, table);
    EXPECT_EQ(parts.extension, ".ini");
    const platform::PathParts bare = platform::splitPath("dir\\a" + table);
    EXPECT_EQ(bare.directory, "dir\\");
    EXPECT_EQ(bare.name, "a" + table);
    // A directory that ends in such a character still needs its separator.
    EXPECT_EQ(platform::makePath("", "\\" + table, "x", "ini"), "\\" + table + "\\x.ini");
    EXPECT_EQ(platform::makePath("", "\\" + table + "\\", "x", ""), "\\" + table + "\\x");
    // A lead byte at the very end has no trail: the byte is itself.
    EXPECT_EQ(platform::splitPath("a\\\x95").name, "\x95");
}

// A box in a session nobody sees would wait for ever for a click, and a fatal abort would never
// end the process; the report still goes to standard error.
TEST(MessageBox, ShownOnlyWhereSomebodyCanSeeIt) {
    bool seen = true;
    std::string written;
    const bool ran = testing_support::inInvisibleWindowStation([&] {
        seen = platform::messageBoxCanBeSeen();
        testing::internal::CaptureStderr();
        platform::showMessageBox("the text", "CAPTION");
        written = testing::internal::GetCapturedStderr();
    });
    if (!testing_support::onWindows()) {
        EXPECT_FALSE(ran);
        EXPECT_FALSE(platform::messageBoxCanBeSeen());
        return;
    }
    ASSERT_TRUE(ran);
    EXPECT_FALSE(seen);
    EXPECT_EQ(written, "CAPTION\nthe text\n");
}

TEST(MakePath, JoinsWithTheRunTimeLibrarysRules) {
    const struct {
        const char* drive;
        const char* directory;
        const char* name;
        const char* extension;
        const char* path;
    } cases[] = {
        {"C:", "\\feeds\\", "", "", "C:\\feeds\\"},
        {"C", "\\feeds", "x", "log", "C:\\feeds\\x.log"},
        {"", "/tmp/feeds/", "Dovetrail.log", "", "/tmp/feeds/Dovetrail.log"},
        {"", "", "Dovetrail.log", "", "Dovetrail.log"},
        {"", "", "", ".ini", ".ini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::makePath(c.drive, c.directory, c.name, c.extension), c.path);
        // Where the run-time library has _makepath, it agrees.
        std::string joined;
        if (testing_support::runtimeMakePath(c.drive, c.directory, c.name, c.extension, joined)) {
            EXPECT_EQ(joined, c.path);
        }
    }
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

TEST(SystemError, LastErrorIsTheCallingThreadsOwn) {
    // Both threads set theirs before either reads; nothing between may call the system, which
    // may change the last error.
    std::atomic<int> step{0};
    unsigned long otherThreads = 0;
    std::thread other([&] {
        platform::setLastError(EACCES);
        step = 1;
        while (step != 2) {
        }
        otherThreads = platform::lastError();
    });
    while (step != 1) {
    }
    platform::setLastError(ENOENT);
    const unsigned long mine = platform::lastError();
    const int error = errno;
    step = 2;
    other.join();
    EXPECT_EQ(mine, static_cast<unsigned long>(ENOENT));
    EXPECT_EQ(otherThreads, static_cast<unsigned long>(EACCES));
    if (!testing_support::onWindows()) {
        EXPECT_EQ(error, ENOENT);  // on POSIX the last error is errno
    }
}

TEST(SystemError, TextForKnownNumbersOnlyOnOneLine) {
    for (const unsigned long known : {static_cast<unsigned long>(ENOENT), 12029ul}) {
        const std::string text = platform::systemErrorText(known);
        // WinINet's numbers have a text only on Windows, from WinINet.
        EXPECT_EQ(text.empty(), known == 12029 && !testing_support::onWindows()) << known;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_TRUE(text.empty() || text.back() != ' ') << text;
    }
    EXPECT_EQ(platform::systemErrorText(0), "");
    EXPECT_EQ(platform::systemErrorText(0xFFFFFFFFul), "");
}

}  // namespace
