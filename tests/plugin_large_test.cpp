// A channel whose answer is larger than any 32-bit count, streamed from a loopback service through
// the plug-in as a host loads it: the feed is complete and right, and memory stays bounded because
// the answer is never held. Labelled "large": the sanitizer builds leave it out.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/loopbackServer.h"
#include "support/pluginLoader.h"
#include "support/tempDir.h"

namespace {

using testing_support::LoopbackServer;
using testing_support::PluginLoader;
using testing_support::TempDir;

constexpr std::uint64_t kAnswerBytes = std::uint64_t{3} << 30;

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Record `n`: a few fields the feed shows and a long text it ignores.
std::string record(std::uint64_t n, const std::string& filler) {
    const std::string id = std::to_string(n);
    return "<MessageBrief><Subject>s" + id + "</Subject><Url>u" + id + "</Url><MsgsInThread>" +
           std::to_string(n % 40) + "</MsgsInThread><Body>" + filler + "</Body></MessageBrief>\n";
}

TEST(LargeAnswer, ThreeGibibytesMakeACorrectFeedInBoundedMemory) {
    auto filler = std::make_shared<std::string>();
    for (int i = 0; filler->size() < 65000; ++i) {
        *filler += "text of a message that the feed does not show, part " + std::to_string(i) + " ";
    }
    std::string expected =
        "<RSS>\n<CHANNEL>\n<TITLE>Big</TITLE>\n<DESCRIPTION>Big</DESCRIPTION>\n"
        "<LINK>";
    std::uint64_t records = 0;
    std::uint64_t bytes = std::string("<ArrayOfMessageBrief>\n</ArrayOfMessageBrief>\n").size();
    std::string items;
    while (bytes < kAnswerBytes) {
        bytes += record(records, *filler).size();
        const std::string id = std::to_string(records);
        const auto messages = records % 40;
        std::string title = "s" + id;
        if (messages == 2) {
            title += " (1 reply)";
        } else if (messages > 2) {
            title += " (" + std::to_string(messages - 1) + " replies)";
        }
        items += "<ITEM>\n    <TITLE><![CDATA[" + title + "]]></TITLE>\n    <LINK><![CDATA[u" + id +
                 "]]></LINK>\n</ITEM>\n";
        ++records;
    }

    LoopbackServer service;
    // Generated as it is sent, one record per chunk.
    service.route("/svc/big", [filler, records](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/xml",
                                         [filler, records, next = std::uint64_t{0}](
                                             std::size_t, httplib::DataSink& sink) mutable {
                                             std::string piece;
                                             if (next == 0) {
                                                 piece = "<ArrayOfMessageBrief>\n";
                                             }
                                             if (next < records) {
                                                 piece += record(next++, *filler);
                                             } else {
                                                 piece = "</ArrayOfMessageBrief>\n";
                                                 next = records + 1;
                                             }
                                             if (!sink.write(piece.data(), piece.size())) {
                                                 return false;
                                             }
                                             if (next > records) {
                                                 sink.done();
                                             }
                                             return true;
                                         });
    });
    TempDir dir;
    dir.write("Dovetrail.debug", "[MessageLog]\nInternetDownloads=1\n");
    const std::string ini = dir.write(
        "dovetrail.ini", "[Config]\nHostName=" + service.url("/svc") + "\n[Big]\nChannelUrl=big\n");
    PluginLoader plugin;
    ASSERT_EQ(plugin.init(ini).status, DOVETRAIL_STATUS_OK);
    expected += service.url("/svc") + "</LINK>\n<IMAGE><URL></URL></IMAGE>\n" + items +
                "</CHANNEL>\n</RSS>\n";
    items.clear();

    const long before = peakKilobytes();
    auto result = plugin.channel("Big");
    const long grownKilobytes = peakKilobytes() - before;
    ASSERT_EQ(result.status, DOVETRAIL_STATUS_OK) << result.errorText;
    EXPECT_TRUE(result.text == expected) << "the feed differs; " << result.text.size()
                                         << " bytes against " << expected.size() << " expected";
    // The text (copied out by the loader, so counted twice here) and a few pieces, never the
    // answer.
    const long textKilobytes = static_cast<long>(expected.size() / 1024);
    EXPECT_LT(grownKilobytes, 2 * textKilobytes + 64 * 1024)
        << "peak grew by " << grownKilobytes << " KiB for a " << textKilobytes << " KiB text";
    // The byte count is not cut to 32 bits.
    EXPECT_NE(dir.read("Dovetrail.log")
                  .find("| Received file OK: #bytes=" + std::to_string(bytes) + "\n"),
              std::string::npos);
}

}  // namespace
