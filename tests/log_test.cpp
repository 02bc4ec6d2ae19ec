// The message log's line headers and line rules, the message groups and their debug-file
// switches, and concurrent writers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "msgGroup.h"
#include "pluginGroups.h"
#include "support/system.h"
#include "support/tempDir.h"

namespace {

// 21:45:26 on 7 December 2026, local time, whatever the time zone.
std::time_t fixedTime() {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 7;
    when.tm_hour = 21;
    when.tm_min = 45;
    when.tm_sec = 26;
    when.tm_isdst = -1;
    return std::mktime(&when);
}

// A string target that counts its flushes.
class CountingBuf : public std::stringbuf {
  public:
    int syncs = 0;

  protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

// A target that refuses every character.
class RefusingBuf : public std::streambuf {
  protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

std::vector<const CMessageGroup*> pluginGroups() {
    return {&groups::internetDownloads, &groups::httpHeaders, &groups::xmlElements,
            &groups::xmlTagStack, &groups::xmlCharData};
}

// Numbers of the plug-in groups that are switched on.
std::vector<int> enabledPluginGroups() {
    std::vector<int> numbers;
    for (const CMessageGroup* group : pluginGroups()) {
        if (group->isEnabled())
            numbers.push_back(group->id());
    }
    return numbers;
}

class LogTest : public testing::Test {
  protected:
    LogTest() : out(&target), log(out) { log.setClock(fixedTime); }
    void TearDown() override { setAllMessageGroupsEnabled(true); }

    CountingBuf target;
    std::ostream out;
    CMessageLog log;
};

// ---------------------------------------------------------------------------------------------
// Header columns

struct HeaderCase {
    const char* name;
    bool group, number, date, time, source;
    const CMessageGroup* current;
    const char* file;
    std::uint32_t line;
    const char* expected;
};

class HeaderTest : public LogTest, public testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderTest, Columns) {
    const HeaderCase& c = GetParam();
    log.showGroup(c.group);
    log.showNumber(c.number);
    log.showDate(c.date);
    log.showTime(c.time);
    log.showSource(c.source);
    log.setContext(c.current, c.file, c.line) << "text" << std::endl;
    EXPECT_EQ(target.str(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderTest,
    testing::Values(HeaderCase{"none", false, false, false, false, false, nullptr, nullptr, 0,
                               "text\n"},
                    HeaderCase{"groupAloneHasNoSeparator", true, false, false, false, false,
                               &groups::xmlElements, nullptr, 0, "[003] text\n"},
                    HeaderCase{"groupWithoutGroupKeepsWidth", true, false, false, false, false,
                               nullptr, nullptr, 0, "      text\n"},
                    HeaderCase{"number", false, true, false, false, false, nullptr, nullptr, 0,
                               "000001 | text\n"},
                    HeaderCase{"date", false, false, true, false, false, nullptr, nullptr, 0,
                               "07dec26 | text\n"},
                    HeaderCase{"time", false, false, false, true, false, nullptr, nullptr, 0,
                               "21:45:26 | text\n"},
                    HeaderCase{"sourceLowerCased", false, false, false, false, true, nullptr,
                               "C:\\Work\\Src/Main.SRC", 7, "    main.src:000007 | text\n"},
                    HeaderCase{"sourceWithoutExtension", false, false, false, false, true, nullptr,
                               "/src/Makefile", 12, "makefile    :000012 | text\n"},
                    HeaderCase{"sourceLongNamesWiden", false, false, false, false, true, nullptr,
                               "/src/ChannelFeedWriter.Template", 1234567,
                               "channelfeedwriter.template:1234567 | text\n"},
                    HeaderCase{"sourceNullFileNotLowerCased", false, false, false, false, true,
                               &groups::xmlElements, nullptr, 156, "         ???:   ??? | text\n"},
                    HeaderCase{"all", true, true, true, true, true, &groups::xmlElements,
                               "/work/src/parser.src", 156,
                               "[003] 000001 07dec26 21:45:26   parser.src:000156 | text\n"}),
    [](const testing::TestParamInfo<HeaderCase>& param) { return param.param.name; });

TEST_F(LogTest, ExampleLineWithEveryColumn) {
    log.showGroup(true);
    log.showNumber(true);
    log.showDate(true);
    log.showTime(true);
    log.showSource(true);
    for (int i = 0; i < 41; ++i)
        log << "line\n";
    target.str("");
    log.setContext(&groups::xmlElements, "parser.src", 156) << "START ELEMENT: "
                                                            << "MessageBrief" << std::endl;
    EXPECT_EQ(target.str(),
              "[003] 000042 07dec26 21:45:26   parser.src:000156 | START ELEMENT: MessageBrief\n");
}

// ---------------------------------------------------------------------------------------------
// Line rules

TEST_F(LogTest, LineCounterAndLineStarts) {
    log.showNumber(true);
    log << '\n';            // a bare line feed: no header, not counted
    log << "a\nb\nc\n";     // three lines, three headers
    log << "no end";        // stays on its line ...
    log << " continued\n";  // ... and the next text continues it without a header
    log.copyFrom(*std::make_unique<std::istringstream>("copied 1\ncopied 2\n"));
    log << "last\n";
    EXPECT_EQ(target.str(),
              "\n000001 | a\n000002 | b\n000003 | c\n000004 | no end continued\n"
              "copied 1\ncopied 2\n000007 | last\n");
    EXPECT_TRUE(log.good());
}

TEST_F(LogTest, EmptyCopyLeavesTheLogUsable) {
    std::istringstream empty;
    log.copyFrom(empty);
    log << "after\n";
    EXPECT_TRUE(log.good());
    EXPECT_EQ(target.str(), "after\n");
}

TEST_F(LogTest, SwitchedOffGroupIsDroppedButStillFlushes) {
    log.showNumber(true);
    CMessageGroup quiet("LogTestQuiet");
    quiet.setEnabled(false);
    log.setContext(&quiet, nullptr, 0) << "hidden\nhidden too\n";
    log.setContext(nullptr, nullptr, 0) << "null group\n";
    quiet.setEnabled(true);
    log.setContext(&quiet, nullptr, 0) << "back on\n";
    EXPECT_EQ(target.str(), "000001 | null group\n000002 | back on\n");
    EXPECT_EQ(target.syncs, 4);
    EXPECT_TRUE(log.good());
}

TEST_F(LogTest, GroupSwitchTakesEffectAtTheNextCharacter) {
    CMessageGroup group("LogTestSwitch");
    log.setContext(&group, nullptr, 0) << "ab";
    group.setEnabled(false);
    log << "cd\n";
    group.setEnabled(true);
    log << "ef\n";
    EXPECT_EQ(target.str(), "abef\n");  // the line feed of the first line was dropped too
}

TEST_F(LogTest, MasterSwitchOffWritesNothingAndCountsNothing) {
    log.showNumber(true);
    log.setEnabled(false);
    log << "one\ntwo\n";
    EXPECT_EQ(target.str(), "");
    EXPECT_EQ(target.syncs, 2);
    log.setEnabled(true);
    log << "three\n";
    EXPECT_EQ(target.str(), "000001 | three\n");
}

TEST_F(LogTest, Indentation) {
    log.indent();
    log.indent();
    log << "two\n";
    for (int i = 0; i < 3; ++i)
        log.unindent();
    log << "minus one\n";
    log.indent();
    log << "zero\n";
    log.indent();
    log.showTime(true);
    log << "one\n";
    EXPECT_EQ(target.str(), "    two\nminus one\nzero\n21:45:26 |   one\n");
}

TEST_F(LogTest, OnlyTheLastTargetReceivesText) {
    std::ostringstream first;
    std::ostringstream second;
    log.setOutput(first);
    log.setOutput(second);
    log << "text\n";
    EXPECT_EQ(first.str(), "");
    EXPECT_EQ(second.str(), "text\n");
    EXPECT_EQ(target.str(), "");
}

TEST_F(LogTest, RefusingTargetFailsTheStreamButDroppedLinesDoNot) {
    RefusingBuf refusing;
    std::ostream refused(&refusing);
    log.setOutput(refused);
    CMessageGroup quiet("LogTestRefused");
    quiet.setEnabled(false);
    log.setContext(&quiet, nullptr, 0) << "dropped\n";
    EXPECT_TRUE(log.good());
    log.setContext(nullptr, nullptr, 0) << "written\n";
    EXPECT_TRUE(log.fail());
}

// ---------------------------------------------------------------------------------------------
// The process log and its writers

// Points the process log at a string for one test and puts it back afterwards.
class ProcessLogTest : public testing::Test {
  protected:
    void SetUp() override {
        theMessageLog().setOutput(captured);
        theMessageLog().setClock(fixedTime);
    }
    void TearDown() override {
        CMessageLog& log = theMessageLog();
        log.setOutput(std::clog);
        log.setClock(nullptr);
        log.showGroup(false);
        log.showSource(false);
        log.showTime(false);
        setAllMessageGroupsEnabled(true);
    }

    std::ostringstream captured;
};

TEST_F(ProcessLogTest, ComesWithAMessageLock) {
    EXPECT_NE(theMessageLog().messageLock(), nullptr);
    EXPECT_EQ(&theMessageLog(), &theMessageLog(&groups::xmlElements, "f", 1));
}

TEST_F(ProcessLogTest, SwitchedOffGroupBuildsNoText) {
    int built = 0;
    const auto text = [&] {
        ++built;
        return "text";
    };
    groups::httpHeaders.setEnabled(false);
    LOG_TO_GROUP(&groups::httpHeaders, text());
    LOG_TO_GROUP(nullptr, text());
    EXPECT_EQ(built, 0);
    LOG_TO_GROUP(&groups::internetDownloads, "Reading URL: " << text());
    EXPECT_EQ(built, 1);
    EXPECT_EQ(captured.str(), "Reading URL: text\n");
}

TEST_F(ProcessLogTest, AnotherThreadsAccessorCallLeavesTheContextAlone) {
    // The accessor without arguments, which every writer calls before taking the message lock,
    // must not reset the context of a message that another thread is writing.
    CMessageGroup quiet("LogTestQuietWriter");
    quiet.setEnabled(false);
    std::thread writer([&] {
        CWriteLockGuard guard(theMessageLog().messageLock());
        CMessageLog& log = theMessageLog(&quiet, "quiet.cpp", 1);
        log << "first half, ";
        std::thread([] { theMessageLog(); }).join();
        log << "second half" << std::endl;
    });
    writer.join();
    EXPECT_EQ(captured.str(), "");
}

TEST_F(ProcessLogTest, ConcurrentWritersKeepTheirLinesAndContexts) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    theMessageLog().showGroup(true);
    theMessageLog().showSource(true);
    std::vector<std::unique_ptr<CMessageGroup>> writerGroups;
    for (int t = 0; t < kThreads; ++t) {
        writerGroups.push_back(
            std::make_unique<CMessageGroup>("LogTestWriter" + std::to_string(t)));
    }
    writerGroups[0]->setEnabled(false);  // its text must never leak into another writer's line

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                CWriteLockGuard guard(theMessageLog().messageLock());
                theMessageLog(writerGroups[t].get(), "Writer.cpp", 1000 + t)
                    << "writer " << t << " line " << i << std::endl;
            }
        });
    }
    for (auto& writer : writers)
        writer.join();

    std::vector<std::string> expected;
    for (int t = 1; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            expected.push_back("[" + std::string(writerGroups[t]->id() < 10 ? "00" : "0") +
                               std::to_string(writerGroups[t]->id()) + "]   writer.cpp:00100" +
                               std::to_string(t) + " | writer " + std::to_string(t) + " line " +
                               std::to_string(i));
        }
    }
    std::vector<std::string> written;
    std::istringstream lines(captured.str());
    for (std::string line; std::getline(lines, line);)
        written.push_back(line);
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, expected);
}

// ---------------------------------------------------------------------------------------------
// Message groups

TEST(MessageGroups, PluginGroupsAreNumberedInDefinitionOrder) {
    const std::vector<std::string> names = {"InternetDownloads", "HttpHeaders", "XmlElements",
                                            "XmlTagStack", "XmlCharData"};
    const auto all = pluginGroups();
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]->id(), static_cast<int>(i) + 1);
        EXPECT_EQ(all[i]->name(), names[i]);
        EXPECT_TRUE(all[i]->isEnabled()) << names[i];
        EXPECT_EQ(findMessageGroup(names[i]), all[i]);
    }
}

TEST(MessageGroups, FindIgnoresCaseOnly) {
    EXPECT_EQ(findMessageGroup("XMLCHARDATA"), &groups::xmlCharData);
    EXPECT_EQ(findMessageGroup("xmlchardata"), &groups::xmlCharData);
    EXPECT_EQ(findMessageGroup("XmlCharData "), nullptr);
    EXPECT_EQ(findMessageGroup("XmlChar"), nullptr);
    EXPECT_EQ(findMessageGroup(""), nullptr);
    CMessageGroup unnamed("");
    EXPECT_EQ(findMessageGroup(""), nullptr);
}

TEST(MessageGroups, NumbersFollowCreation) {
    CMessageGroup first("LogTestFirst");
    CMessageGroup second("LogTestSecond");
    EXPECT_GT(first.id(), 5);
    EXPECT_EQ(second.id(), first.id() + 1);
}

TEST(MessageGroups, LaterOfSameNameWinsAndEitherDestructionRemovesTheName) {
    for (const bool destroyLater : {true, false}) {
        auto earlier = std::make_unique<CMessageGroup>("LogTestTwin");
        auto later = std::make_unique<CMessageGroup>("LOGTESTTWIN");
        EXPECT_EQ(findMessageGroup("logtesttwin"), later.get());
        (destroyLater ? later : earlier).reset();
        EXPECT_EQ(findMessageGroup("LogTestTwin"), nullptr) << "destroyLater " << destroyLater;
    }
}

TEST(MessageGroups, SwitchAll) {
    disableAllMessageGroups(true);
    EXPECT_THAT(enabledPluginGroups(), testing::IsEmpty());
    disableAllMessageGroups(false);
    EXPECT_THAT(enabledPluginGroups(), testing::ElementsAre(1, 2, 3, 4, 5));
    setAllMessageGroupsEnabled(false);
    EXPECT_THAT(enabledPluginGroups(), testing::IsEmpty());
    setAllMessageGroupsEnabled(true);
    EXPECT_THAT(enabledPluginGroups(), testing::ElementsAre(1, 2, 3, 4, 5));
}

struct DebugFileCase {
    const char* name;
    const char* content;  // null: no debug file
    std::vector<int> enabled;
};

class DebugFileTest : public testing::TestWithParam<DebugFileCase> {
  protected:
    void TearDown() override { setAllMessageGroupsEnabled(true); }
    testing_support::TempDir dir;
};

TEST_P(DebugFileTest, SwitchesExactlyTheNamedGroups) {
    const DebugFileCase& c = GetParam();
    const std::string path = c.content != nullptr ? dir.write("Dovetrail.debug", c.content)
                                                  : dir.file("Dovetrail.debug");
    setAllMessageGroupsEnabled(true);
    loadMessageGroupSettings(path);
    // Wine reads "0x1" as a hexadecimal number.
    if (testing_support::underWine() && std::string(c.name) == "values") {
        EXPECT_EQ(enabledPluginGroups(), (std::vector<int>{3, 4, 5}));
        return;
    }
    EXPECT_EQ(enabledPluginGroups(), c.enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DebugFileTest,
    testing::Values(
        DebugFileCase{
            "example", "[MessageLog]\nxmlelements=1\nHttpHeaders=0\nNoSuchGroup=1\n", {3}},
        DebugFileCase{"capitals", "[MessageLog]\r\nXMLCHARDATA=1\r\n", {5}},
        DebugFileCase{"values",
                      "[messagelog]\nInternetDownloads=\nHttpHeaders=yes\nXmlTagStack=2\n"
                      "XmlElements=-1\nXmlCharData=0x1\n",
                      {3, 4}},
        DebugFileCase{"blanksAndComments",
                      "[Other]\nXmlCharData=1\n[ MessageLog ]\n  InternetDownloads = 1 \n"
                      ";XmlElements=1\n",
                      {1}},
        DebugFileCase{"otherSectionOnly", "[Other]\nXmlElements=1\n", {}},
        DebugFileCase{"empty", "", {}}, DebugFileCase{"noFile", nullptr, {}}),
    [](const testing::TestParamInfo<DebugFileCase>& param) { return param.param.name; });

TEST_F(DebugFileTest, KeysBeyondTheListBufferAreNotSeen) {
    std::string content = "[MessageLog]\nHttpHeaders=1\n";
    std::size_t listed = std::string("HttpHeaders").size() + 1;
    for (int i = 0; listed < 16400; ++i) {
        const std::string key = "Filler" + std::to_string(100000 + i);
        content += key + "=1\n";
        listed += key.size() + 1;
    }
    content += "XmlElements=1\n";
    loadMessageGroupSettings(dir.write("Dovetrail.debug", content));
    EXPECT_THAT(enabledPluginGroups(), testing::ElementsAre(2));
}

TEST_F(ProcessLogTest, ConfigurationSendsTimedLinesOfEnabledGroupsToTheFile) {
    testing_support::TempDir dir;
    const std::string debugPath =
        dir.write("Dovetrail.debug", "[MessageLog]\nXmlElements=1\nHttpHeaders=0\n");
    {
        std::ofstream logFile(dir.file("Dovetrail.log"), std::ios::trunc);
        configureMessageLog(theMessageLog(), logFile, debugPath);
        LOG_TO_GROUP(&groups::xmlElements, "END ELEMENT: "
                                               << "MessageBrief");
        LOG_TO_GROUP(&groups::httpHeaders, "not wanted");
        theMessageLog().setOutput(captured);
    }
    // A text-mode file: the system's line end.
    EXPECT_EQ(dir.read("Dovetrail.log"),
              "21:45:26 | END ELEMENT: MessageBrief" + testing_support::textLineEnd());
    EXPECT_EQ(captured.str(), "");
}

}  // namespace
