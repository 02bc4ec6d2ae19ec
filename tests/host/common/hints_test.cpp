// Hints for failures: the advice for each kind of failure (a table over hintFor), the facts
// gathered from an INI file and a real directory, and the notes of `intervals` and `channels`.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hints.h"
#include "support/tempDir.h"

namespace host {
namespace {

constexpr const char* kIni = "/etc/dovetrail/dovetrail.ini";

HintFacts configured() {
    HintFacts facts;
    facts.configPath = kIni;
    facts.hostNameSet = true;
    facts.channels = {"lounge", "boards", "articles"};
    return facts;
}

struct HintCase {
    std::string name;
    Failure failure;
    HintFacts facts;
    std::vector<std::string> expected;  // each must appear in the hint
    std::vector<std::string> absent;    // none may appear
};

std::ostream& operator<<(std::ostream& out, const HintCase& c) {
    return out << c.name;
}

HintFacts with(HintFacts facts, void (*change)(HintFacts&)) {
    change(facts);
    return facts;
}

class HintForTest : public ::testing::TestWithParam<HintCase> {};

TEST_P(HintForTest, NamesWhatFixesTheFailure) {
    const HintCase& c = GetParam();
    const std::string hint = hintFor(c.failure, c.facts);
    for (const std::string& text : c.expected) {
        EXPECT_NE(hint.find(text), std::string::npos) << "missing: " << text << "\nin: " << hint;
    }
    for (const std::string& text : c.absent) {
        EXPECT_EQ(hint.find(text), std::string::npos) << "unexpected: " << text << "\nin: " << hint;
    }
    EXPECT_EQ(hint.find('\n'), std::string::npos) << hint;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HintForTest,
    ::testing::Values(
        HintCase{"NoHostName",
                 {Operation::Channel, 1, "The host name has not been configured.", "lounge"},
                 with(configured(), [](HintFacts& f) { f.hostNameSet = false; }),
                 {"set HostName in [Config] of /etc/dovetrail/dovetrail.ini"},
                 {}},
        HintCase{"MissingTemplate",
                 {Operation::MainPage, 3, "Can't open the Dovetrail main page template file.", ""},
                 with(configured(),
                      [](HintFacts& f) {
                          f.localProblem =
                              "there is no file Dovetrail-MainPage.template in "
                              "/etc/dovetrail";
                      }),
                 {"/etc/dovetrail/Dovetrail-MainPage.template",
                  "there is no file Dovetrail-MainPage.template in /etc/dovetrail"},
                 {}},
        HintCase{"UnknownChannelListsTheConfiguredOnes",
                 {Operation::Channel, 5, "Unknown channel: x", "x"},
                 configured(),
                 {"lounge, boards, articles", "dovetrail channels", kIni},
                 {}},
        HintCase{"UnknownChannelWithASectionButNoChannelUrl",
                 {Operation::Channel, 5, "Unknown channel: news", "news"},
                 with(configured(), [](HintFacts& f) { f.sectionExists = true; }),
                 {"the section [news] of /etc/dovetrail/dovetrail.ini has no ChannelUrl"},
                 {"lounge"}},
        HintCase{"UnknownChannelWithoutAnyChannels",
                 {Operation::Channel, 5, "Unknown channel: x", "x"},
                 with(configured(), [](HintFacts& f) { f.channels.clear(); }),
                 {"configures no channels", "[x]"},
                 {}},
        HintCase{"UnknownChannelListsAtMostEightNames",
                 {Operation::Channel, 5, "Unknown channel: x", "x"},
                 with(configured(),
                      [](HintFacts& f) {
                          f.channels = {"c1", "c2", "c3", "c4", "c5",
                                        "c6", "c7", "c8", "c9", "c10"};
                      }),
                 {"c1, c2, c3, c4, c5, c6, c7, c8 and 2 more"},
                 {"c9"}},
        HintCase{"MissingLocalFileNamesTheDirectoryAndTheKeys",
                 {Operation::Channel, 1, "Can't send the HTTP request: service/nosuchfile.xml",
                  "lounge"},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "service/nosuchfile.xml";
                          f.urlKey = "ChannelUrl in [lounge]";
                          f.local = true;
                          f.localProblem =
                              "there is no file nosuchfile.xml in /etc/dovetrail/service";
                      }),
                 {"there is no file nosuchfile.xml in /etc/dovetrail/service",
                  "HostName in [Config] and ChannelUrl in [lounge] of /etc/dovetrail/dovetrail.ini",
                  "taken from the INI file's directory"},
                 {}},
        HintCase{
            "MissingAbsoluteLocalFile",
            {Operation::Init, 1, "Can't send the HTTP request: /srv/answers/lounge-iv.xml", ""},
            with(configured(),
                 [](HintFacts& f) {
                     f.url = "/srv/answers/lounge-iv.xml";
                     f.urlKey = "GetLoungeLatestUpdatePeriodUrl in [Config]";
                     f.local = true;
                     f.localProblem = "there is no directory /srv/answers";
                 }),
            {"there is no directory /srv/answers",
             "HostName and GetLoungeLatestUpdatePeriodUrl in [Config] of "
             "/etc/dovetrail/dovetrail.ini"},
            {"INI file's directory"}},
        HintCase{"EmptyIntervalKey",
                 {Operation::Init, 1, "Can't send the HTTP request: service/", ""},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "service/";
                          f.urlKey = "GetCommentLatestUpdatePeriodUrl in [Config]";
                          f.keyEmpty = true;
                      }),
                 {"set GetCommentLatestUpdatePeriodUrl in [Config] of /etc/dovetrail/dovetrail.ini",
                  "asks for service/ itself"},
                 {}},
        HintCase{"UnreachableServiceWithAnEmptyIntervalKey",
                 {Operation::Init, 1, "Can't send the HTTP request: http://127.0.0.1:9/", ""},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "http://127.0.0.1:9/";
                          f.urlKey = "GetLoungeLatestUpdatePeriodUrl in [Config]";
                          f.keyEmpty = true;
                          f.probed = true;
                          f.reachReason = "can't connect to 127.0.0.1 port 9: Connection refused";
                      }),
                 {"Connection refused (HostName in [Config] of /etc/dovetrail/dovetrail.ini"},
                 {"GetLoungeLatestUpdatePeriodUrl"}},
        HintCase{"UnreachableServiceCarriesTheSystemsReason",
                 {Operation::Channel, 1, "Can't send the HTTP request: http://127.0.0.1:9/l.xml",
                  "lounge"},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "http://127.0.0.1:9/l.xml";
                          f.urlKey = "ChannelUrl in [lounge]";
                          f.probed = true;
                          f.reachReason = "can't connect to 127.0.0.1 port 9: Connection refused";
                      }),
                 {"can't connect to 127.0.0.1 port 9: Connection refused",
                  "HostName in [Config] and ChannelUrl in [lounge]", "the service is running"},
                 {}},
        HintCase{"ReachableNowSaysTheFailureMayHavePassed",
                 {Operation::Init, 1, "Can't read the URL: https://svc.example/iv", ""},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "https://svc.example/iv";
                          f.probed = true;
                          f.reached = true;
                      }),
                 {"accepts connections now", "Dovetrail.log in /etc/dovetrail"},
                 {}},
        HintCase{"UnsupportedScheme",
                 {Operation::Channel, 1, "Can't send the HTTP request: ftp://svc/l.xml", "lounge"},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "ftp://svc/l.xml";
                          f.urlKey = "ChannelUrl in [lounge]";
                      }),
                 {"neither http, https nor a local file", "ChannelUrl in [lounge]"},
                 {}},
        HintCase{"ParseErrorNamesTheAnswerAndTheLog",
                 {Operation::Channel, 1, "XML parse failed (4:L1:C0): not well-formed", "lounge"},
                 with(configured(),
                      [](HintFacts& f) {
                          f.url = "service/lounge.xml";
                          f.urlKey = "ChannelUrl in [lounge]";
                          f.local = true;
                      }),
                 {"the answer at service/lounge.xml", "ChannelUrl in [lounge]",
                  "Dovetrail.log in /etc/dovetrail"},
                 {}},
        HintCase{"NoInternetSession",
                 {Operation::Init, 4, "Can't open an internet connection: Out of memory", ""},
                 configured(),
                 {"not caused by /etc/dovetrail/dovetrail.ini"},
                 {}}),
    [](const ::testing::TestParamInfo<HintCase>& param) { return param.param.name; });

TEST(HintForTest, NothingToSayAboutSuccessOrMemory) {
    EXPECT_EQ(hintFor(Failure{Operation::Channel, 0, "", "lounge"}, configured()), "");
    EXPECT_EQ(hintFor(Failure{Operation::Channel, 2, "", "lounge"}, configured()), "");
}

// The facts come from a real INI file and directory; the network probe is a stand-in that
// records what it was asked.
class GatherHintFactsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        dir_.write("service/lounge.xml", "<x/>");
        std::filesystem::create_directories(dir_.path() / "service" / "sub");
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    HintFacts gather(const Failure& failure, const std::string& ini) {
        return gatherHintFacts(failure, dir_.write("dovetrail.ini", ini),
                               [this](const std::string& url) {
                                   probed_.push_back(url);
                                   return std::string("no such host: svc.invalid");
                               });
    }

    testing_support::TempDir dir_;
    std::filesystem::path previous_;
    std::vector<std::string> probed_;
};

constexpr const char* kLocalIni =
    "[Config]\nHostName = service\nGetLoungeLatestUpdatePeriodUrl=lounge-iv.xml\n"
    "GetCommentLatestUpdatePeriodUrl=\n[lounge]\nChannelUrl=lounge.xml\n[Boards]\n"
    "ChannelUrl=sub/boards.xml\n[drafts]\nChannelName=Drafts\n";

TEST_F(GatherHintFactsTest, LocalAnswersAreCheckedRelativeToTheWorkingDirectory) {
    struct Case {
        Failure failure;
        std::string url, urlKey, problem;
        bool keyEmpty;
    };
    const std::string service = (dir_.path() / "service").string();
    const std::vector<Case> cases = {
        {{Operation::Channel, 1, "Can't send the HTTP request: service/sub/boards.xml", "boards"},
         "service/sub/boards.xml",
         "ChannelUrl in [boards]",
         "there is no file boards.xml in " + service + "/sub",
         false},
        {{Operation::Channel, 1, "Can't send the HTTP request: service/a/b/c.xml", "lounge"},
         "service/a/b/c.xml",
         "",
         "there is no directory " + service + "/a",
         false},
        {{Operation::Channel, 1, "Can't open file: service/sub", "lounge"},
         "service/sub",
         "",
         service + "/sub is a directory, not a file",
         false},
        {{Operation::Init, 1, "Can't send the HTTP request: service/lounge-iv.xml", ""},
         "service/lounge-iv.xml",
         "GetLoungeLatestUpdatePeriodUrl in [Config]",
         "there is no file lounge-iv.xml in " + service,
         false},
        {{Operation::Init, 1, "Can't send the HTTP request: service/", ""},
         "service/",
         "GetCommentLatestUpdatePeriodUrl in [Config]",
         "",
         true},
        // A failure without an address in its text: the channel's own URL, which is readable.
        {{Operation::Channel, 1, "XML parse failed (4:L1:C0): not well-formed", "lounge"},
         "service/lounge.xml",
         "ChannelUrl in [lounge]",
         "",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure.message);
        const HintFacts facts = gather(c.failure, kLocalIni);
        EXPECT_EQ(facts.url, c.url);
        EXPECT_EQ(facts.urlKey, c.urlKey);
        EXPECT_EQ(facts.keyEmpty, c.keyEmpty);
        EXPECT_EQ(facts.localProblem, c.problem);
        EXPECT_EQ(facts.local, !c.keyEmpty);
        EXPECT_TRUE(facts.hostNameSet);
        EXPECT_EQ(facts.channels, (std::vector<std::string>{"lounge", "Boards"}));
    }
    EXPECT_TRUE(probed_.empty());
}

TEST_F(GatherHintFactsTest, SectionsTemplatesAndFileUrls) {
    EXPECT_TRUE(gather({Operation::Channel, 5, "Unknown channel: DRAFTS", "DRAFTS"}, kLocalIni)
                    .sectionExists);
    EXPECT_FALSE(
        gather({Operation::Channel, 5, "Unknown channel: x", "x"}, kLocalIni).sectionExists);
    EXPECT_FALSE(gather({Operation::Channel, 1, "The host name has not been configured.", "x"},
                        "[x]\nChannelUrl=a\n")
                     .hostNameSet);

    const HintFacts page = gather({Operation::MainPage, 3, "", ""}, kLocalIni);
    EXPECT_EQ(page.localProblem,
              "there is no file Dovetrail-MainPage.template in " + dir_.path().string());
    dir_.write("Dovetrail-MainPage.template", "page");
    EXPECT_EQ(gather({Operation::MainPage, 3, "", ""}, kLocalIni).localProblem, "");

    const std::string absolute = dir_.file("service/lounge.xml");
    const HintFacts fileUrl =
        gather({Operation::Channel, 1, "Can't read file: file://" + absolute, "x"},
               "[Config]\nHostName=h");
    EXPECT_TRUE(fileUrl.local);
    EXPECT_EQ(fileUrl.localProblem, "");
}

TEST_F(GatherHintFactsTest, AMissingFileLeavesTheFileSystemToSpeak) {
    const std::string absent = dir_.file("absent.ini");
    const HintFacts channel =
        gatherHintFacts({Operation::Channel, 5, "Unknown channel: x", "x"}, absent, nullptr);
    EXPECT_FALSE(channel.hostNameSet);
    EXPECT_TRUE(channel.channels.empty());
    EXPECT_FALSE(channel.sectionExists);
    const HintFacts page = gatherHintFacts({Operation::MainPage, 3, "", ""}, absent, nullptr);
    EXPECT_EQ(page.localProblem,
              "there is no file Dovetrail-MainPage.template in " + dir_.path().string());
}

TEST_F(GatherHintFactsTest, OnlyHttpAddressesAreProbed) {
    const std::string ini =
        "[Config]\nHostName=https://svc.invalid/ws\n[lounge]\nChannelUrl=lounge.xml\n";
    const HintFacts facts =
        gather({Operation::Channel, 1,
                "Can't send the HTTP request: https://svc.invalid/ws/lounge.xml", "lounge"},
               ini);
    EXPECT_EQ(probed_, (std::vector<std::string>{"https://svc.invalid/ws/lounge.xml"}));
    EXPECT_TRUE(facts.probed);
    EXPECT_FALSE(facts.reached);
    EXPECT_FALSE(facts.local);
    EXPECT_EQ(facts.reachReason, "no such host: svc.invalid");
    EXPECT_EQ(facts.urlKey, "ChannelUrl in [lounge]");

    gather({Operation::Channel, 1, "Can't send the HTTP request: ftp://svc/lounge.xml", "lounge"},
           ini);
    gather({Operation::Channel, 5, "Unknown channel: x", "x"}, ini);
    EXPECT_EQ(probed_.size(), 1u);
}

TEST(NotesTest, IntervalsAndChannelsSayWhenTheyCannotComeFromTheService) {
    testing_support::TempDir dir;
    const std::string ini = dir.file("dovetrail.ini");
    const auto write = [&](const std::string& text) { return dir.write("dovetrail.ini", text); };
    const auto channelsNoteOf = [&](const std::string& path) {
        return channelsNote(path, readChannelList(path));
    };

    write("[Config]\nHostName=h\nGetLoungeLatestUpdatePeriodUrl=a\nGetCommentLatestUpdatePeriodUrl="
          "b\n"
          "GetArticleLatestUpdatePeriodUrl=c\n[lounge]\nChannelUrl=l\n");
    EXPECT_EQ(intervalsNote(ini), "");
    EXPECT_EQ(channelsNoteOf(ini), "");

    write("[Config]\nHostName=%20\n[lounge]\nChannelUrl=l\n");
    const std::string intervals = intervalsNote(ini);
    EXPECT_NE(intervals.find("HostName in [Config] of " + ini + " is not set"), std::string::npos)
        << intervals;
    EXPECT_NE(intervals.find("defaults"), std::string::npos) << intervals;
    EXPECT_NE(channelsNoteOf(ini).find("HostName in [Config]"), std::string::npos);

    write("[Config]\nHostName=h\nGetCommentLatestUpdatePeriodUrl=b\n");
    const std::string partial = intervalsNote(ini);
    EXPECT_NE(partial.find("GetLoungeLatestUpdatePeriodUrl, GetArticleLatestUpdatePeriodUrl"),
              std::string::npos)
        << partial;
    EXPECT_EQ(partial.find("GetCommentLatestUpdatePeriodUrl"), std::string::npos) << partial;

    EXPECT_NE(channelsNoteOf(write("[Config]\nHostName=h\n[x]\nChannelName=X\n"))
                  .find("configures no channels"),
              std::string::npos);
}

}  // namespace
}  // namespace host
