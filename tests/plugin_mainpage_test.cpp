// The main page through dlopen: template location, the three interval variables, byte-exact
// pass-through, and the failure statuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "mainPage.h"
#include "support/pluginLoader.h"
#include "support/scopedEnv.h"
#include "support/tempDir.h"

using testing_support::PluginLoader;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

const char* const kTemplate =
    "L={%MIN-LOUNGE-UPDATE-INTERVAL%};B={%min-message-boards-update-interval%};"
    "A={%MIN-ARTICLES-UPDATE-INTERVAL%}";

// Configures answers of the given minutes for the three interval queries.
std::string configWithIntervals(const TempDir& dir, const std::string& lounge,
                                const std::string& boards, const std::string& articles) {
    dir.write("answers/l", "<int>" + lounge + "</int>");
    dir.write("answers/b", "<int>" + boards + "</int>");
    dir.write("answers/a", "<int>" + articles + "</int>");
    return dir.write("dovetrail.ini", "[Config]\nHostName=" + dir.file("answers") +
                                          "\nGetLoungeLatestUpdatePeriodUrl=l\n"
                                          "GetCommentLatestUpdatePeriodUrl=b\n"
                                          "GetArticleLatestUpdatePeriodUrl=a\n");
}

TEST(MainPage, ShowsTheIntervalsInMinutes) {
    TempDir dir;
    dir.write("Dovetrail-MainPage.template", kTemplate);
    PluginLoader plugin;
    const auto init = plugin.init(configWithIntervals(dir, "60", "15", "0"));
    ASSERT_EQ(init.status, DOVETRAIL_STATUS_OK) << init.errorText;
    const auto page = plugin.mainPage();
    ASSERT_EQ(page.status, DOVETRAIL_STATUS_OK) << page.errorText;
    EXPECT_EQ(page.text, "L=60 minutes;B=15 minutes;A=0 minutes");
}

TEST(MainPage, IntervalsNeverSuccessfullyQueriedAreZero) {
    TempDir dir;
    dir.write("Dovetrail-MainPage.template", kTemplate);
    PluginLoader plugin;
    ScopedEnv fail("DOVETRAIL_TEST_INTERNET_OPEN_ERROR", "13");
    ASSERT_EQ(plugin.init(configWithIntervals(dir, "60", "15", "1")).status,
              DOVETRAIL_STATUS_NO_INTERNET);
    const auto page = plugin.mainPage();
    ASSERT_EQ(page.status, DOVETRAIL_STATUS_OK) << page.errorText;
    EXPECT_EQ(page.text, "L=0 minutes;B=0 minutes;A=0 minutes");
}

TEST(MainPage, MinutesTextDropsTheFraction) {
    EXPECT_EQ(plugin::minutesText(3600), "60 minutes");
    EXPECT_EQ(plugin::minutesText(900), "15 minutes");
    EXPECT_EQ(plugin::minutesText(90), "1 minutes");
    EXPECT_EQ(plugin::minutesText(59), "0 minutes");
    EXPECT_EQ(plugin::minutesText(0), "0 minutes");
}

TEST(MainPage, TemplateWithoutMarkersComesBackByteForByte) {
    TempDir dir;
    std::string bytes = "<html>\r\n\tline\rtwo\n{ % } %} {%\xE9\x00\xFFx";
    bytes.push_back('\0');
    bytes += "end\r\n";
    dir.write("Dovetrail-MainPage.template", bytes);
    PluginLoader plugin;
    ASSERT_EQ(plugin.init(configWithIntervals(dir, "1", "1", "1")).status, DOVETRAIL_STATUS_OK);
    const auto page = plugin.mainPage();
    ASSERT_EQ(page.status, DOVETRAIL_STATUS_OK);
    // An unterminated marker drops the rest of the input; everything before it is unchanged.
    EXPECT_EQ(page.text, bytes.substr(0, bytes.find("{%\xE9")));

    dir.write("Dovetrail-MainPage.template", "a\r\nb\r\n\x01\x7F\x80");
    EXPECT_EQ(plugin.mainPage().text, "a\r\nb\r\n\x01\x7F\x80");
}

TEST(MainPage, EmptyTemplateGivesAnEmptyText) {
    TempDir dir;
    dir.write("Dovetrail-MainPage.template", "");
    PluginLoader plugin;
    ASSERT_EQ(plugin.init(configWithIntervals(dir, "1", "1", "1")).status, DOVETRAIL_STATUS_OK);
    const auto page = plugin.mainPage();
    EXPECT_EQ(page.status, DOVETRAIL_STATUS_OK);
    EXPECT_TRUE(page.outputWritten);
    EXPECT_EQ(page.text, "");
}

TEST(MainPage, MissingTemplateIsStatus3WithTheExactText) {
    TempDir dir;
    PluginLoader plugin;
    ASSERT_EQ(plugin.init(configWithIntervals(dir, "1", "1", "1")).status, DOVETRAIL_STATUS_OK);
    const auto page = plugin.mainPage();
    EXPECT_EQ(page.status, DOVETRAIL_STATUS_NO_TEMPLATE);
    EXPECT_EQ(page.errorText, "Can't open the Dovetrail main page template file.");
    EXPECT_FALSE(page.outputWritten);
    EXPECT_EQ(page.rawError.substr(page.errorText.size()),
              std::string(1024 - page.errorText.size(), '\0'));
}

TEST(MainPage, ABareConfigurationNameFindsTheTemplateInTheWorkingDirectory) {
    TempDir dir;
    dir.write("Dovetrail-MainPage.template", kTemplate);
    configWithIntervals(dir, "5", "15", "60");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    PluginLoader plugin;
    const auto init = plugin.init("dovetrail.ini");
    const auto page = plugin.mainPage();
    std::filesystem::current_path(previous);
    ASSERT_EQ(init.status, DOVETRAIL_STATUS_OK) << init.errorText;
    ASSERT_EQ(page.status, DOVETRAIL_STATUS_OK) << page.errorText;
    EXPECT_EQ(page.text, "L=5 minutes;B=15 minutes;A=60 minutes");
}

TEST(MainPage, OutputAllocationFailureIsStatus2AndLeavesTheErrorTextAlone) {
    TempDir dir;
    dir.write("Dovetrail-MainPage.template", kTemplate);
    dir.write("answers/c.xml", "<r/>");
    const std::string ini = configWithIntervals(dir, "1", "1", "1");
    std::string text = testing_support::readFile(ini) + "[C]\nChannelUrl=c.xml\n";
    dir.write("dovetrail.ini", text);
    // Allocation number `allowed` + 1 fails, whichever request makes it.
    for (int allowed = 0; allowed < 3; ++allowed) {
        PluginLoader plugin;
        ScopedEnv fail("DOVETRAIL_TEST_FAIL_ALLOCATIONS_AFTER", std::to_string(allowed));
        ASSERT_EQ(plugin.init(ini).status, DOVETRAIL_STATUS_OK);
        for (int call = 0; call < 4; ++call) {
            const auto result = call % 2 == 0 ? plugin.mainPage() : plugin.channel("C");
            if (call < allowed) {
                EXPECT_EQ(result.status, DOVETRAIL_STATUS_OK)
                    << "allowed " << allowed << ", call " << call;
                EXPECT_FALSE(result.text.empty());
            } else {
                EXPECT_EQ(result.status, DOVETRAIL_STATUS_NO_MEMORY)
                    << "allowed " << allowed << ", call " << call;
                EXPECT_FALSE(result.outputWritten);
                EXPECT_EQ(result.rawError, std::string(1024, '\x5A'));
            }
        }
    }
}

}  // namespace
