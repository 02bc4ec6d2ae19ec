// Loading the plug-in and calling it through its C interface, against a fake plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "hostError.h"
#include "pluginLibrary.h"
#include "support/hostFixtures.h"
#include "support/tempDir.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using namespace testing_fixtures;

TEST_F(FakePluginTest, SessionInitialisesReportsIntervalsAndTerminatesOnce) {
    {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        PluginSession session(library, "/some/dir/dovetrail.ini");
        EXPECT_EQ(fake_->lastConfigPath, "/some/dir/dovetrail.ini");
        EXPECT_EQ(session.intervals().lounge, 60);
        EXPECT_EQ(session.intervals().messageBoards, 120);
        EXPECT_EQ(session.intervals().articles, 180);
        EXPECT_EQ(session.intervals().longest(), 180);
        EXPECT_EQ(fake_->termCalls, 0);
    }
    EXPECT_EQ(fake_->initCalls, 1);
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, FailedInitThrowsWithStatusAndTextAndStillTerminates) {
    fake_->initStatus = DOVETRAIL_STATUS_NO_INTERNET;
    fake_->initError = "Can't open an internet connection: no network";
    PluginLibrary library(FAKE_PLUGIN_PATH);
    try {
        PluginSession session(library, "cfg.ini");
        FAIL() << "init succeeded";
    } catch (const PluginInitError& e) {
        EXPECT_EQ(e.status(), DOVETRAIL_STATUS_NO_INTERNET);
        EXPECT_NE(std::string(e.what()).find("cfg.ini"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("no network"), std::string::npos);
    }
    EXPECT_EQ(fake_->termCalls, 1);
}

TEST_F(FakePluginTest, ContentCallsCopyTheTextAndFreeEveryBuffer) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult channel = session.channel("lounge");
    ASSERT_TRUE(channel.ok());
    EXPECT_EQ(channel.text, "<RSS>lounge#1");
    const CallResult page = session.mainPage();
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page.text, "<html>main page</html>");
    EXPECT_EQ(fake_->buffersHandedOut, 2);
    EXPECT_EQ(fake_->buffersFreed, 2);
    // A text above the caller's limit is released without being copied.
    const CallResult large = session.channel("lounge", 12);
    EXPECT_EQ(large.status, DOVETRAIL_STATUS_FAILED);
    EXPECT_EQ(large.error, "Can't keep the feed: 13 bytes is more than the limit of 12 bytes");
    EXPECT_TRUE(large.text.empty());
    EXPECT_EQ(fake_->buffersFreed, 3);
}

struct FailureCase {
    int32_t status;
    std::string error;
    bool fillsBuffer;
    std::string expected;
};

class FailureTextTest : public FakePluginTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTextTest, FailuresCarryStatusAndABoundedText) {
    const FailureCase& c = GetParam();
    fake_->channelStatus = c.status;
    fake_->channelError = c.error;
    fake_->errorFillsBuffer = c.fillsBuffer;
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("lounge");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.expected);
    EXPECT_TRUE(result.text.empty());
    EXPECT_EQ(fake_->buffersHandedOut, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTextTest,
    ::testing::Values(
        FailureCase{1, "Can't open file: service/x.xml", false, "Can't open file: service/x.xml"},
        // Status 2 leaves the error text alone: the host supplies its own.
        FailureCase{2, "", false, "The plug-in could not allocate the output buffer."},
        FailureCase{1, "", false, "The plug-in reported a failure without a message."},
        // An unterminated buffer is read to its end and no further.
        FailureCase{1, "", true, std::string(1024, 'E')}));

TEST_F(FakePluginTest, UnknownChannelKeepsThePluginText) {
    PluginLibrary library(FAKE_PLUGIN_PATH);
    PluginSession session(library, "cfg.ini");
    const CallResult result = session.channel("unknown-one");
    EXPECT_EQ(result.status, DOVETRAIL_STATUS_UNKNOWN_CHANNEL);
    EXPECT_EQ(result.error, "Unknown channel: unknown-one");
}

TEST_F(FakePluginTest, LoadingFailuresNameTheLibraryAndExitWithTheLoaderCode) {
    testing_support::TempDir dir;
    const std::string notALibrary = dir.write("libnot.so", "plain text");
    for (const std::string& path : {std::string("/nonexistent/libdovetrail.so"), notALibrary}) {
        try {
            PluginLibrary library(path);
            FAIL() << "loaded " << path;
        } catch (const HostError& e) {
            EXPECT_EQ(e.exitCode(), kExitNoPlugin);
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    fake_->version = 2;
    try {
        PluginLibrary library(FAKE_PLUGIN_PATH);
        FAIL() << "accepted interface version 2";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("interface version 2"), std::string::npos);
    }
}

}  // namespace
}  // namespace host
