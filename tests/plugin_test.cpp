// The plug-in as a host sees it: loaded by the system, driven only through get_app_plugin_info.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/pluginLoader.h"
#include "support/scopedEnv.h"
#include "support/system.h"
#include "support/tempDir.h"

using testing_support::ClosedPort;
using testing_support::PluginLoader;
using testing_support::ScopedEnv;
using namespace std::string_literals;
using testing_support::TempDir;

namespace {

// Runs `body` with the working directory changed to `dir`, restoring it afterwards.
template <typename Body>
void inDirectory(const std::filesystem::path& dir, Body body) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    try {
        body();
    } catch (...) {
        std::filesystem::current_path(previous);
        throw;
    }
    std::filesystem::current_path(previous);
}

// An INI whose host is a local directory holding the interval answers, so no network is needed.
std::string localConfig(const TempDir& dir, const std::string& extra = "") {
    dir.write("answers/lounge.xml", "<int>15</int>");
    dir.write("answers/boards.xml", "<?xml version=\"1.0\"?><int xmlns=\"x\">1</int>");
    dir.write("answers/articles.xml", "<int>120</int>");
    return dir.write("dovetrail.ini",
                     "[Config]\r\n"
                     "HostName=" +
                         dir.file("answers") +
                         "\r\n"
                         "GetLoungeLatestUpdatePeriodUrl=lounge.xml\r\n"
                         "GetCommentLatestUpdatePeriodUrl=boards.xml\r\n"
                         "GetArticleLatestUpdatePeriodUrl=articles.xml\r\n" +
                         extra);
}

// The status codes are part of the binary interface: hosts built against an older header compare
// with the numbers it had.
TEST(PluginHeader, StatusCodesKeepTheirDocumentedValues) {
    const std::pair<int, int> codes[] = {
        {DOVETRAIL_STATUS_OK, 0},          {DOVETRAIL_STATUS_FAILED, 1},
        {DOVETRAIL_STATUS_NO_MEMORY, 2},   {DOVETRAIL_STATUS_NO_TEMPLATE, 3},
        {DOVETRAIL_STATUS_NO_INTERNET, 4}, {DOVETRAIL_STATUS_UNKNOWN_CHANNEL, 5},
    };
    for (const auto& [constant, documented] : codes) {
        EXPECT_EQ(constant, documented);
    }
    EXPECT_EQ(DOVETRAIL_ERROR_TEXT_SIZE, 1024);
}

TEST(PluginInfoTable, VersionAndSixEntryPointsOnEveryCall) {
    PluginLoader plugin;
    auto get =
        reinterpret_cast<get_app_plugin_info_fn>(plugin.library().function("get_app_plugin_info"));
    ASSERT_NE(get, nullptr);
    for (int call = 0; call < 2; ++call) {
        PluginInfo info;
        std::memset(&info, 0xAB, sizeof info);
        get(&info);
        EXPECT_EQ(info.version, 1);
        EXPECT_NE(info.plugin_init, nullptr);
        EXPECT_NE(info.plugin_term, nullptr);
        EXPECT_NE(info.plugin_alloc, nullptr);
        EXPECT_NE(info.plugin_free, nullptr);
        EXPECT_NE(info.plugin_get_main_page, nullptr);
        EXPECT_NE(info.plugin_get_channel, nullptr);
        EXPECT_EQ(info.plugin_init, plugin.info().plugin_init);
        EXPECT_EQ(info.plugin_get_channel, plugin.info().plugin_get_channel);
    }
}

TEST(PluginInfoTable, TheOnlyExportedSymbolIsGetAppPluginInfo) {
    for (const std::string& path :
         {testing_support::pluginPath(), testing_support::productPluginPath()}) {
        EXPECT_EQ(testing_support::exportedNames(path),
                  std::vector<std::string>{"get_app_plugin_info"})
            << path;
    }
}

TEST(PluginInfoTable, TheWindowsLibraryNeedsOnlyTheSystemsOwnLibraries) {
    if (!testing_support::onWindows()) {
        GTEST_SKIP() << "a Windows fact: the runtime is linked in, nothing else is imported";
    }
    std::vector<std::string> imports =
        testing_support::importedLibraries(testing_support::productPluginPath());
    for (std::string& name : imports) {
        for (char& c : name) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    std::sort(imports.begin(), imports.end());
    EXPECT_EQ(imports, (std::vector<std::string>{"KERNEL32.DLL", "MSVCRT.DLL", "WININET.DLL"}));
}

TEST(PluginLifecycle, TermWithoutInitAndAllocFree) {
    PluginLoader plugin;
    EXPECT_EQ(plugin.term(), 0);
    void* block = plugin.info().plugin_alloc(64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, 64);
    plugin.info().plugin_free(block);
    plugin.info().plugin_free(nullptr);
}

TEST(PluginLifecycle, InitReportsTheIntervalsInSeconds) {
    TempDir dir;
    PluginLoader plugin;
    const auto result = plugin.init(localConfig(dir));
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_EQ(result.intervals[0], 900);
    EXPECT_EQ(result.intervals[1], 60);
    EXPECT_EQ(result.intervals[2], 7200);
    // Only the three integers are written; the rest of the area is the host's.
    EXPECT_EQ(result.raw.substr(12), std::string(1024 - 12, '\x5A'));
    EXPECT_EQ(plugin.term(), 0);
}

TEST(PluginLifecycle, WithoutHostNameAllIntervalsAreTheDefault) {
    TempDir dir;
    PluginLoader plugin;
    const auto result = plugin.init(dir.write("x.ini", "[Config]\nHostName=%20\n"));
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK);
    EXPECT_EQ(result.intervals[0], 3600);
    EXPECT_EQ(result.intervals[1], 3600);
    EXPECT_EQ(result.intervals[2], 3600);
}

TEST(PluginLifecycle, InternetSessionFailureGivesStatus4WithTheSystemText) {
    TempDir dir;
    PluginLoader plugin;
    ScopedEnv fail("DOVETRAIL_TEST_INTERNET_OPEN_ERROR", "13");
    const auto result = plugin.init(localConfig(dir));
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_NO_INTERNET);
    // 13 is EACCES on POSIX and ERROR_INVALID_DATA on Windows, which Wine words its own way.
    const std::string text = !testing_support::onWindows()  ? "Permission denied"
                             : testing_support::underWine() ? "Invalid data."
                                                            : "The data is invalid.";
    EXPECT_EQ(result.errorText, "Can't open an internet connection: " + text);
    EXPECT_EQ(result.raw.substr(result.errorText.size()),
              std::string(1024 - result.errorText.size(), '\0'));
}

TEST(PluginLifecycle, IntervalDownloadFailureIsStatus1WithTheMessage) {
    TempDir dir;
    PluginLoader plugin;
    ClosedPort closed;
    const std::string host = "http://127.0.0.1:" + std::to_string(closed.port());
    const auto result = plugin.init(dir.write(
        "x.ini", "[Config]\nHostName=" + host + "\nGetLoungeLatestUpdatePeriodUrl=lounge\n"));
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(result.errorText, "Can't send the HTTP request: " + host + "/lounge");
    EXPECT_EQ(result.raw.substr(result.errorText.size()),
              std::string(1024 - result.errorText.size(), '\0'));
}

TEST(PluginLifecycle, LogFileLiesNextToTheFirstConfigurationFile) {
    TempDir first, second;
    first.write("Dovetrail.debug", "[MessageLog]\nInternetDownloads=1\n");
    second.write("Dovetrail.debug", "[MessageLog]\nInternetDownloads=1\n");
    {
        PluginLoader plugin;
        ASSERT_EQ(plugin.init(localConfig(first)).status, DOVETRAIL_STATUS_OK);
        ASSERT_EQ(plugin.init(localConfig(second)).status, DOVETRAIL_STATUS_OK);
        EXPECT_EQ(plugin.term(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(second.file("Dovetrail.log")));
    const std::string log = first.read("Dovetrail.log");
    // The log is a text file, with the system's line ends.
    const std::string lineEnd = testing_support::textLineEnd();
    // Both initialisations wrote to the first file, the second reading its own INI.
    EXPECT_NE(log.find("| Reading URL: " + first.file("answers") + "/lounge.xml" + lineEnd),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("| Reading URL: " + second.file("answers") + "/lounge.xml" + lineEnd),
              std::string::npos)
        << log;
    const std::regex lineFormat(R"([0-9]{2}:[0-9]{2}:[0-9]{2} \| .*)");
    std::size_t lineCount = 0;
    for (std::size_t start = 0; start < log.size(); ++lineCount) {
        const std::size_t end = log.find(lineEnd, start);
        ASSERT_NE(end, std::string::npos) << "unterminated last line";
        const std::string line = log.substr(start, end - start);
        EXPECT_TRUE(std::regex_match(line, lineFormat)) << line;
        start = end + lineEnd.size();
    }
    EXPECT_GE(lineCount, 2u);
}

TEST(PluginLifecycle, ConfigurationPathWithoutDirectoryUsesTheWorkingDirectory) {
    TempDir dir;
    localConfig(dir);
    dir.write("Dovetrail.debug", "[MessageLog]\ninternetdownloads=1\nHttpHeaders=0\n");
    inDirectory(dir.path(), [&] {
        PluginLoader plugin;
        ASSERT_EQ(plugin.init("dovetrail.ini").status, DOVETRAIL_STATUS_OK);
    });
    const std::string log = dir.read("Dovetrail.log");
    EXPECT_NE(log.find("| Read the local file OK: #bytes=13 ; faking an HTTP 200 OK status." +
                       testing_support::textLineEnd()),
              std::string::npos)
        << log;
}

TEST(PluginLifecycle, GroupsStayOffWithoutDebugFile) {
    TempDir dir;
    {
        PluginLoader plugin;
        ASSERT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("Dovetrail.log")));
    EXPECT_EQ(dir.read("Dovetrail.log"), "");
}

class ChannelErrors : public ::testing::Test {
  protected:
    TempDir dir;
    PluginLoader plugin;
};

TEST_F(ChannelErrors, UnconfiguredHostHidesAnUnknownChannel) {
    for (const char* ini : {"[Config]\n", "[Config]\nHostName=%20%09\n", "[Other]\nHostName=x\n"}) {
        ASSERT_EQ(plugin.init(dir.write("x.ini", ini)).status, DOVETRAIL_STATUS_OK);
        const auto result = plugin.channel("nothing-here");
        EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED) << ini;
        EXPECT_EQ(result.errorText, "The host name has not been configured.");
        EXPECT_FALSE(result.outputWritten);
    }
}

TEST_F(ChannelErrors, BeforeInitTheHostIsNotConfigured) {
    const auto result = plugin.channel("lounge");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(result.errorText, "The host name has not been configured.");
}

TEST_F(ChannelErrors, UnknownChannelNamesTheChannelExactly) {
    ASSERT_EQ(
        plugin.init(localConfig(dir, "[Empty]\nChannelUrl= \n[NoUrl]\nChannelName=x\n")).status,
        DOVETRAIL_STATUS_OK);
    for (const std::string name : {"missing", " Spaced %41 ", "Empty", "NoUrl", ""}) {
        const auto result = plugin.channel(name);
        EXPECT_EQ(result.status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
        EXPECT_EQ(result.errorText, "Unknown channel: " + name);
        EXPECT_EQ(result.rawError.substr(result.errorText.size()),
                  std::string(1024 - result.errorText.size(), '\0'));
        EXPECT_FALSE(result.outputWritten);
    }
}

TEST_F(ChannelErrors, LongMessagesAreCutTo1023BytesAndTerminated) {
    ASSERT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
    for (std::size_t nameLength : {1006u, 1007u, 1008u, 5000u}) {
        const std::string name(nameLength, 'n');
        const auto result = plugin.channel(name);
        const std::string message = "Unknown channel: " + name;
        ASSERT_EQ(result.status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
        EXPECT_EQ(result.errorText, message.substr(0, 1023));
        EXPECT_EQ(result.rawError.back(), '\0');
    }
}

// A relative path with a directory in it names a file below the working directory; on Windows
// LoadLibraryA alone would look in the DLL search order first, the program's directory first of
// all, and load the copy planted there.
TEST(PluginLoading, ARelativePathIsAFileBelowTheWorkingDirectory) {
    namespace fs = std::filesystem;
    const fs::path programDirectory = host::runningProgramPath().parent_path();
    ASSERT_FALSE(programDirectory.empty());
    const std::string folder =
        "relative-probe-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string file = fs::path(testing_support::pluginPath()).filename().string();
    TempDir dir;
    fs::create_directories(dir.path() / folder);
    fs::copy_file(testing_support::pluginPath(), dir.path() / folder / file);
    const fs::path planted = programDirectory / folder;
    fs::create_directories(planted);
    fs::copy_file(testing_support::pluginPath(), planted / file);
    std::string loadedFrom;
    inDirectory(dir.path(), [&] {
        std::string error;
        const auto library = host::NativeLibrary::open(folder + "/" + file, error);
        ASSERT_NE(library, nullptr) << error;
        const auto get = library->function("get_app_plugin_info");
        ASSERT_NE(get, nullptr);
        loadedFrom = testing_support::moduleFileOf(reinterpret_cast<const void*>(get));
        ASSERT_FALSE(loadedFrom.empty());
        EXPECT_TRUE(fs::equivalent(loadedFrom, dir.path() / folder / file)) << loadedFrom;
    });
    std::error_code ignored;
    fs::remove_all(planted, ignored);
}

// A file saved "UTF-8 with BOM" loses its first section to Windows' INI functions; the log says
// which file, once, and nothing for a file without the mark.
TEST(PluginLifecycle, AByteOrderMarkInTheIniOrDebugFileIsLogged) {
    const std::string warning =
        " starts with a UTF-8 byte order mark: Windows does not read its first section; save it "
        "without the mark\n";
    for (const bool iniMark : {false, true}) {
        for (const bool debugMark : {false, true}) {
            TempDir dir;
            const std::string ini = localConfig(dir);
            if (iniMark) {
                dir.write("dovetrail.ini", "\xEF\xBB\xBF" + dir.read("dovetrail.ini"));
            }
            dir.write("Dovetrail.debug", (debugMark ? "\xEF\xBB\xBF" : "") + "[x]\n"s);
            PluginLoader plugin;
            ASSERT_EQ(plugin.init(ini).status, DOVETRAIL_STATUS_OK);
            const std::string log = dir.read("Dovetrail.log");
            // The log's lines carry a time column; the warnings are whole lines of their own.
            std::vector<std::string> found;
            for (std::size_t at = 0; (at = log.find("Warning: ", at)) != std::string::npos;) {
                const std::size_t end = log.find('\n', at);
                std::string line = log.substr(at, end - at + 1);
                std::erase(line, '\r');  // Windows writes the log as text
                found.push_back(line);
                at = end;
            }
            std::vector<std::string> expected;
            if (iniMark) {
                expected.push_back("Warning: " + ini + warning);
            }
            if (debugMark) {
                // The debug file's path as the plug-in makes it: the INI file's directory.
                const std::string path = ini.substr(0, ini.size() - std::strlen("dovetrail.ini"));
                expected.push_back("Warning: " + path + "Dovetrail.debug" + warning);
            }
            EXPECT_EQ(found, expected) << iniMark << debugMark << "\n" << log;
        }
    }
}

// The switches live in the test build alone: in the product, variables that a host's environment
// happens to carry change nothing.
TEST(PluginLifecycle, TheProductHasNoTestSwitches) {
    TempDir dir;
    PluginLoader plugin(testing_support::productPluginPath());
    ScopedEnv internet("DOVETRAIL_TEST_INTERNET_OPEN_ERROR", "13");
    ScopedEnv allocations("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER", "0");
    EXPECT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
    void* block = plugin.info().plugin_alloc(8);
    EXPECT_NE(block, nullptr);
    plugin.info().plugin_free(block);
}

// Closing the session from a static destructor at unload would run under the system's loader
// lock; it is closed by plugin_term alone.
TEST(PluginLifecycle, UnloadingWithoutTermLeavesTheSessionOpen) {
    if (!testing_support::underWine()) {
        GTEST_SKIP() << "the test finds the plug-in's session handle by Wine's numbering of "
                        "WinINet handles; Windows gives a library's handles no visible order";
    }
    TempDir dir;
    std::uintptr_t unloaded = 0;
    {
        PluginLoader plugin;
        unloaded = testing_support::nextInternetHandle();
        ASSERT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
        ASSERT_TRUE(testing_support::internetHandleIsOpen(unloaded));
    }
    EXPECT_TRUE(testing_support::internetHandleIsOpen(unloaded));

    PluginLoader plugin;
    const std::uintptr_t terminated = testing_support::nextInternetHandle();
    ASSERT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
    ASSERT_TRUE(testing_support::internetHandleIsOpen(terminated));
    EXPECT_EQ(plugin.term(), 0);
    EXPECT_FALSE(testing_support::internetHandleIsOpen(terminated));
}

TEST(PluginAllocation, TestSeamMakesAllocationsFail) {
    TempDir dir;
    PluginLoader plugin;
    ScopedEnv fail("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER", "1");
    ASSERT_EQ(plugin.init(localConfig(dir)).status, DOVETRAIL_STATUS_OK);
    void* first = plugin.info().plugin_alloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(plugin.info().plugin_alloc(8), nullptr);
    plugin.info().plugin_free(first);
}

}  // namespace
