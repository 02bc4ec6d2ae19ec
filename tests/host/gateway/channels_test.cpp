// The configured channels as the gateway follows the INI file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "channelDirectory.h"
#include "support/hostFixtures.h"
#include "support/tempDir.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using namespace testing_fixtures;

TEST(ChannelDirectoryTest, FollowsTheIniFileAndKeepsTheLastGoodList) {
    testing_support::TempDir dir;
    const std::string ini =
        dir.write("dovetrail.ini", "[lounge]\nChannelUrl=l.xml\n[ba\x01d]\nChannelUrl=b.xml\n");
    std::vector<std::vector<std::string>> changes;
    ChannelDirectory directory(ini,
                               [&](const ChannelSet& set) { changes.push_back(set.names()); });
    // A name with a control byte can never be requested cleanly: it is not served.
    EXPECT_EQ(directory.current()->names(), std::vector<std::string>{"lounge"});
    EXPECT_NE(directory.current()->find("lounge"), nullptr);
    EXPECT_EQ(directory.current()->find("Lounge"), nullptr);

    dir.write("dovetrail.ini", "[boards]\nChannelUrl=b.xml\nChannelName=Boards\n");
    EXPECT_EQ(directory.current()->names(), std::vector<std::string>{"lounge"})
        << "only check() looks at the file";
    EXPECT_EQ(directory.check()->names(), std::vector<std::string>{"boards"});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], std::vector<std::string>{"boards"});

    std::filesystem::remove(ini);
    const auto kept = directory.check();
    EXPECT_EQ(kept->names(), std::vector<std::string>{"boards"});
    EXPECT_NE(kept->readError.find(ini), std::string::npos) << kept->readError;
    EXPECT_EQ(changes.size(), 1u);
}

}  // namespace
}  // namespace host
