// The host's reading of the INI file's channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "channelList.h"
#include "hostError.h"
#include "pluginLibrary.h"
#include "support/tempDir.h"

using namespace std::chrono_literals;

namespace host {
namespace {

TEST(ChannelListTest, ChannelsAreSectionsWithAChannelUrlReadAsThePluginReadsThem) {
    const std::string ini =
        "\xEF\xBB\xBF; comment\r\n"
        "[Config]\r\nHostName=service\r\n"
        "[lounge]\rChannelUrl=lounge.xml\rChannelName = \"Caf%E9 Lounge\" \r"
        "[ boards ]\nChannelUrl=boards.xml\n"
        "[noUrl]\nChannelName=Nothing\n"
        "[emptyUrl]\nChannelUrl=%20\n"
        "[LOUNGE]\nChannelUrl=again.xml\n"
        "[dup]\nChannelUrl=d.xml\nChannelName=First\nchannelname=Second\n"
        "[empty title]\nChannelUrl=e.xml\nChannelName=\n"
        ";[commented]\n;ChannelUrl=x\n"
        "[%41b]\nChannelUrl=x.xml\n";
    testing_support::TempDir dir;
    const std::vector<ChannelEntry> channels = readChannelList(dir.write("dovetrail.ini", ini));
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : channels) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {{"lounge", "Caf\xE9 Lounge"},
                                                                       {"boards", "boards"},
                                                                       {"dup", "First"},
                                                                       {"empty title", ""},
                                                                       {"%41b", "Ab"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, NamesAndValuesAreReadAsThePluginIsAskedForThem) {
    using namespace std::string_literals;
    // Vertical tabs, form feeds and 0x1A (octal 032) are blanks to the plug-in's reader; a value
    // ends at a zero byte; a name with a zero byte cannot be asked for through the plug-in's C
    // interface.
    const std::string ini =
        "[\vlounge\f]\nChannelUrl=\fl.xml\v\nChannelName=Lounge\0hidden\n"
        "[lou\0nge]\nChannelUrl=x.xml\n"
        "[nul]\nChannelUrl=\0x.xml\n"
        "[\032articles\032]\nChannelUrl=\032a.xml\032\nChannelName=\032Articles\032\n"
        "[boards]\nChannelUrl=b.xml\n"s;
    testing_support::TempDir dir;
    std::vector<std::pair<std::string, std::string>> got;
    for (const ChannelEntry& c : readChannelList(dir.write("dovetrail.ini", ini))) {
        got.emplace_back(c.name, c.title);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"lounge", "Lounge"}, {"articles", "Articles"}, {"boards", "boards"}};
    EXPECT_EQ(got, expected);
}

TEST(ChannelListTest, AMissingFileIsAConfigurationError) {
    try {
        readChannelList("/nonexistent/dovetrail.ini");
        FAIL();
    } catch (const HostError& e) {
        EXPECT_EQ(e.exitCode(), kExitNoConfig);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dovetrail.ini"), std::string::npos);
    }
}

TEST(ChannelListTest, PresentationValuesAndIntervalKindFollowThePluginsDefaults) {
    const std::string ini =
        "[Config]\nHostName=https://service.example\n"
        "[plain]\nChannelUrl=p.xml\n"
        "[full]\nChannelUrl=f.xml\nChannelDescription=About%20it\nChannelHomeUrl=https://h/\n"
        "ChannelImageUrl=https://h/i.png\nUpdateIntervalKind= Boards \n"
        "[lounge]\nChannelUrl=l.xml\nupdateintervalkind=lounge\n"
        "[art]\nChannelUrl=a.xml\nUpdateIntervalKind=ARTICLES\n"
        "[odd]\nChannelUrl=o.xml\nUpdateIntervalKind=weekly\n"
        "[blank]\nChannelUrl=b.xml\nUpdateIntervalKind=\n";
    testing_support::TempDir dir;
    const std::vector<ChannelEntry> channels = readChannelList(dir.write("dovetrail.ini", ini));
    ASSERT_EQ(channels.size(), 6u);
    const Intervals intervals{300, 900, 3600};
    struct Expected {
        const char* description;
        const char* homeUrl;
        const char* imageUrl;
        int32_t interval;
        const char* unknown;
    };
    const Expected expected[] = {
        {"plain", "https://service.example", "", 3600, ""},
        {"About it", "https://h/", "https://h/i.png", 900, ""},
        {"lounge", "https://service.example", "", 300, ""},
        {"art", "https://service.example", "", 3600, ""},
        {"odd", "https://service.example", "", 3600, "weekly"},
        {"blank", "https://service.example", "", 3600, ""},
    };
    for (std::size_t i = 0; i < channels.size(); ++i) {
        SCOPED_TRACE(channels[i].name);
        EXPECT_EQ(channels[i].description, expected[i].description);
        EXPECT_EQ(channels[i].homeUrl, expected[i].homeUrl);
        EXPECT_EQ(channels[i].imageUrl, expected[i].imageUrl);
        EXPECT_EQ(intervals.forKind(channels[i].intervalKind), expected[i].interval);
        EXPECT_EQ(channels[i].unknownIntervalKind, expected[i].unknown);
        EXPECT_EQ(intervalKindWarning(channels[i]).empty(), *expected[i].unknown == '\0');
    }
    EXPECT_EQ(intervalKindWarning(channels[4]),
              "channel odd: UpdateIntervalKind=weekly is not lounge, boards or articles; the "
              "longest interval applies");
    // What the INI file spells is logged on one line, its control bytes and quotes escaped.
    const struct {
        const char* kind;
        const char* logged;
    } odd[] = {{"week%0Aly", "week\\x0Aly"},
               {"x%0D%0Adovetrail: forged", "x\\x0D\\x0Adovetrail: forged"},
               {"a%1B[2Jb", "a\\x1B[2Jb"},
               {"%22q%22", "\\x22q\\x22"}};
    for (const auto& c : odd) {
        const std::vector<ChannelEntry> one = readChannelList(
            dir.write("odd.ini",
                      std::string("[odd]\nChannelUrl=o.xml\nUpdateIntervalKind=") + c.kind + "\n"));
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(intervalKindWarning(one[0]), std::string("channel odd: UpdateIntervalKind=") +
                                                   c.logged +
                                                   " is not lounge, boards or articles; the "
                                                   "longest interval applies");
    }
    // The longest is the default whichever kind holds it.
    EXPECT_EQ((Intervals{900, 60, 300}.forKind(IntervalKind::longest)), 900);
    EXPECT_EQ(findChannel(channels, " LOUNGE "), &channels[2]);
    EXPECT_EQ(findChannel(channels, "lounge2"), nullptr);
}

}  // namespace
}  // namespace host
