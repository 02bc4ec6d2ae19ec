// The plug-in as a host sees it: loaded with dlopen, driven only through get_app_plugin_info.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/pluginLoader.h"
#include "support/scopedEnv.h"
#include "support/tempDir.h"

using testing_support::PluginLoader;
using testing_support::ScopedEnv;
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
    return dir.write("dovetrail.ini", "[Config]\r\n"
                                      "HostName=" + dir.file("answers") + "\r\n"
                                      "GetLoungeLatestUpdatePeriodUrl=lounge.xml\r\n"
                                      "GetCommentLatestUpdatePeriodUrl=boards.xml\r\n"
                                      "GetArticleLatestUpdatePeriodUrl=articles.xml\r\n" +
                                          extra);
}

TEST(PluginInfoTable, VersionAndSixEntryPointsOnEveryCall) {
    PluginLoader plugin;
    auto get = reinterpret_cast<get_app_plugin_info_fn>(dlsym(plugin.handle(), "get_app_plugin_info"));
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
    const std::string command =
        "nm -D --defined-only --format=posix '" + testing_support::pluginPath() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 512> line;
    while (fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        output += line.data();
    }
    std::vector<std::string> functionsAndData;
    std::istringstream lines(output);
    for (std::string entry; std::getline(lines, entry);) {
        std::istringstream fields(entry);
        std::string name, type;
        fields >> name >> type;
        if (type == "T" || type == "D" || type == "B" || type == "W" || type == "V" ||
            type == "R" || type == "i" || type == "u") {
            functionsAndData.push_back(name);
        }
    }
    EXPECT_EQ(functionsAndData, std::vector<std::string>{"get_app_plugin_info"}) << output;
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
    ASSERT_EQ(result.status, 0) << result.errorText;
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
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.intervals[0], 3600);
    EXPECT_EQ(result.intervals[1], 3600);
    EXPECT_EQ(result.intervals[2], 3600);
}

TEST(PluginLifecycle, InternetSessionFailureGivesStatus4WithTheSystemText) {
    TempDir dir;
    PluginLoader plugin;
    ScopedEnv fail("DOVETRAIL_TEST_INTERNET_OPEN_ERROR", "13");  // EACCES
    const auto result = plugin.init(localConfig(dir));
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.errorText, "Can't open an internet connection: Permission denied");
    EXPECT_EQ(result.raw.substr(result.errorText.size()),
              std::string(1024 - result.errorText.size(), '\0'));
}

// A loopback port that nothing listens on: bound once by the kernel's choice, then released.
int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(PluginLifecycle, IntervalDownloadFailureIsStatus1WithTheMessage) {
    TempDir dir;
    PluginLoader plugin;
    const std::string host = "http://127.0.0.1:" + std::to_string(closedPort());
    const auto result = plugin.init(dir.write(
        "x.ini", "[Config]\nHostName=" + host + "\nGetLoungeLatestUpdatePeriodUrl=lounge\n"));
    EXPECT_EQ(result.status, 1);
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
        ASSERT_EQ(plugin.init(localConfig(first)).status, 0);
        ASSERT_EQ(plugin.init(localConfig(second)).status, 0);
        EXPECT_EQ(plugin.term(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(second.file("Dovetrail.log")));
    const std::string log = first.read("Dovetrail.log");
    // Both initialisations wrote to the first file, the second reading its own INI.
    EXPECT_NE(log.find("| Reading URL: " + first.file("answers") + "/lounge.xml\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("| Reading URL: " + second.file("answers") + "/lounge.xml\n"),
              std::string::npos)
        << log;
    const std::regex lineFormat(R"([0-9]{2}:[0-9]{2}:[0-9]{2} \| .*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, lineFormat)) << line;
    }
}

TEST(PluginLifecycle, ConfigurationPathWithoutDirectoryUsesTheWorkingDirectory) {
    TempDir dir;
    localConfig(dir);
    dir.write("Dovetrail.debug", "[MessageLog]\ninternetdownloads=1\nHttpHeaders=0\n");
    inDirectory(dir.path(), [&] {
        PluginLoader plugin;
        ASSERT_EQ(plugin.init("dovetrail.ini").status, 0);
    });
    const std::string log = dir.read("Dovetrail.log");
    EXPECT_NE(log.find("| Read the local file OK: #bytes=13 ; faking an HTTP 200 OK status.\n"),
              std::string::npos)
        << log;
}

TEST(PluginLifecycle, GroupsStayOffWithoutDebugFile) {
    TempDir dir;
    {
        PluginLoader plugin;
        ASSERT_EQ(plugin.init(localConfig(dir)).status, 0);
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
        ASSERT_EQ(plugin.init(dir.write("x.ini", ini)).status, 0);
        const auto result = plugin.channel("nothing-here");
        EXPECT_EQ(result.status, 1) << ini;
        EXPECT_EQ(result.errorText, "The host name has not been configured.");
        EXPECT_FALSE(result.outputWritten);
    }
}

TEST_F(ChannelErrors, BeforeInitTheHostIsNotConfigured) {
    const auto result = plugin.channel("lounge");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errorText, "The host name has not been configured.");
}

TEST_F(ChannelErrors, UnknownChannelNamesTheChannelExactly) {
    ASSERT_EQ(plugin.init(localConfig(dir, "[Empty]\nChannelUrl= \n[NoUrl]\nChannelName=x\n")).status,
              0);
    for (const std::string name : {"missing", " Spaced %41 ", "Empty", "NoUrl", ""}) {
        const auto result = plugin.channel(name);
        EXPECT_EQ(result.status, 5);
        EXPECT_EQ(result.errorText, "Unknown channel: " + name);
        EXPECT_EQ(result.rawError.substr(result.errorText.size()),
                  std::string(1024 - result.errorText.size(), '\0'));
        EXPECT_FALSE(result.outputWritten);
    }
}

TEST_F(ChannelErrors, LongMessagesAreCutTo1023BytesAndTerminated) {
    ASSERT_EQ(plugin.init(localConfig(dir)).status, 0);
    for (std::size_t nameLength : {1006u, 1007u, 1008u, 5000u}) {
        const std::string name(nameLength, 'n');
        const auto result = plugin.channel(name);
        const std::string message = "Unknown channel: " + name;
        ASSERT_EQ(result.status, 5);
        EXPECT_EQ(result.errorText, message.substr(0, 1023));
        EXPECT_EQ(result.rawError.back(), '\0');
    }
}

TEST(PluginAllocation, TestSeamMakesAllocationsFail) {
    TempDir dir;
    PluginLoader plugin;
    ScopedEnv fail("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER", "1");
    ASSERT_EQ(plugin.init(localConfig(dir)).status, 0);
    void* first = plugin.info().plugin_alloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(plugin.info().plugin_alloc(8), nullptr);
    plugin.info().plugin_free(first);
}

}  // namespace
