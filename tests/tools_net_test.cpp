#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "net.h"
#include "platform/error.h"
#include "platform/internet.h"
#include "pluginGroups.h"
#include "support/loopbackServer.h"
#include "support/scopedEnv.h"
#include "support/system.h"
#include "support/tempDir.h"

namespace {

using namespace std::string_literals;
using platform::InternetScheme;
using testing_support::ClosedPort;
using testing_support::LoopbackServer;
using testing_support::TempDir;
using testing_support::Unanswered;

const char* const kAgent = "Microsoft Internet Explorer";

// Points the process log at a string while alive, with the two download groups switched as asked.
class LogCapture {
  public:
    explicit LogCapture(bool downloads = true, bool headers = true)
        : downloads_(groups::internetDownloads.isEnabled()),
          headers_(groups::httpHeaders.isEnabled()) {
        theMessageLog().setOutput(out_);
        groups::internetDownloads.setEnabled(downloads);
        groups::httpHeaders.setEnabled(headers);
    }
    ~LogCapture() {
        theMessageLog().setOutput(std::clog);
        groups::internetDownloads.setEnabled(downloads_);
        groups::httpHeaders.setEnabled(headers_);
    }
    std::string text() const { return out_.str(); }

  private:
    bool downloads_;
    bool headers_;
    std::ostringstream out_;
};

std::string bodyText(const std::vector<char>& body) {
    return std::string(body.begin(), body.end());
}

// The zero byte after the body that callers may rely on.
void expectTerminated(const std::vector<char>& body) {
    ASSERT_GT(body.capacity(), body.size());
    EXPECT_EQ(body.data()[body.size()], '\0');
}

std::string downloadError(const std::shared_ptr<platform::InternetSession>& session,
                          const std::string& url) {
    std::vector<char> body;
    try {
        tools::downloadUrl(session, url, body);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

// --- URL splitting -------------------------------------------------------------------------------

struct CrackCase {
    std::string url;
    bool ok;
    InternetScheme scheme = InternetScheme::Unknown;
    std::string host;
    std::uint16_t port = 0;
    std::string path;
};

CrackCase failing(std::string url) {
    return {std::move(url), false, InternetScheme::Unknown, "", 0, ""};
}

void PrintTo(const CrackCase& c, std::ostream* out) {
    *out << testing::PrintToString(c.url.substr(0, 60));
}

// What the URL splitter gives on the system the test runs on. Windows names the scheme's default
// port when the URL names none, and gives local paths with its own separators. Under Wine, a
// "file://localhost/" URL loses the slash that starts its path.
CrackCase expectedOnThisSystem(CrackCase c) {
    if (!testing_support::onWindows() || !c.ok) {
        return c;
    }
    if (c.port == 0) {
        c.port = c.scheme == InternetScheme::Http    ? 80
                 : c.scheme == InternetScheme::Https ? 443
                 : c.scheme == InternetScheme::Other ? 21
                                                     : 0;
    }
    // A file on another machine is a UNC path, decoded like any other.
    const std::map<std::string, std::string> windowsPaths = {
        {"file://host/share/a%20b.xml", "\\\\host\\share\\a b.xml"}};
    if (const auto found = windowsPaths.find(c.url); found != windowsPaths.end()) {
        c.path = found->second;
    } else if (c.scheme == InternetScheme::File) {
        std::replace(c.path.begin(), c.path.end(), '/', '\\');
        if (testing_support::underWine() && c.host == "localhost") {
            c.path.erase(0, 1);
        }
    }
    return c;
}

class CrackUrl : public testing::TestWithParam<CrackCase> {};

TEST_P(CrackUrl, SplitsIntoSchemeHostPortAndPath) {
    const CrackCase c = expectedOnThisSystem(GetParam());
    platform::UrlParts parts;
    ASSERT_EQ(platform::crackUrl(c.url, 1024, 4096, parts), c.ok);
    if (c.ok) {
        EXPECT_EQ(parts.scheme, c.scheme);
        EXPECT_EQ(parts.host, c.host);
        EXPECT_EQ(parts.port, c.port);
        EXPECT_EQ(parts.path, c.path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, CrackUrl,
    testing::Values(
        CrackCase{"http://example.com/a/b?x=1&y=2", true, InternetScheme::Http, "example.com", 0,
                  "/a/b?x=1&y=2"},
        CrackCase{"HTTP://Example.com:8080", true, InternetScheme::Http, "Example.com", 8080, ""},
        CrackCase{"https://example.com/p", true, InternetScheme::Https, "example.com", 0, "/p"},
        CrackCase{"http://user:pw@example.com:81/p?q#frag", true, InternetScheme::Http,
                  "example.com", 81, "/p?q"},
        CrackCase{"http://[::1]:8080/x", true, InternetScheme::Http, "::1", 8080, "/x"},
        CrackCase{"http://example.com?x=1", true, InternetScheme::Http, "example.com", 0, "?x=1"},
        CrackCase{"ftp://example.com/x", true, InternetScheme::Other, "example.com", 0, "/x"},
        CrackCase{"file:///tmp/x.xml", true, InternetScheme::File, "", 0, "/tmp/x.xml"},
        // A local path is a file name: escapes decoded, except where a host is named.
        CrackCase{"file:///tmp/a%20b%2525.xml", true, InternetScheme::File, "", 0,
                  "/tmp/a b%25.xml"},
        CrackCase{"file://host/share/a%20b.xml", true, InternetScheme::File, "host", 0,
                  "/share/a%20b.xml"},
        CrackCase{"file://localhost/tmp/x.xml", true, InternetScheme::File, "localhost", 0,
                  "/tmp/x.xml"},
        CrackCase{"/tmp/x.xml", true, InternetScheme::Unknown, "", 0, "/tmp/x.xml"},
        CrackCase{"answers/x.xml", true, InternetScheme::Unknown, "", 0, "answers/x.xml"},
        CrackCase{"answers/a:b.xml", true, InternetScheme::Unknown, "", 0, "answers/a:b.xml"},
        CrackCase{"http://" + std::string(1023, 'h') + "/", true, InternetScheme::Http,
                  std::string(1023, 'h'), 0, "/"},
        CrackCase{"http://h/" + std::string(4094, 'p'), true, InternetScheme::Http, "h", 0,
                  "/" + std::string(4094, 'p')},
        // Known schemes without a host, bad ports, and parts beyond the buffers fail.
        failing("http://"), failing("http:///path"), failing("https://:443/x"),
        failing("http:example.com"), failing("http://example.com:99999/"),
        failing("http://example.com:8x/"), failing("file://"),
        // Only brackets may hold a colon in a host.
        failing("http://a:b:80/"), failing("http://::1/x"),
        failing("http://" + std::string(1024, 'h') + "/"),
        failing("http://h/" + std::string(4095, 'p'))));

// --- Downloads from the loopback service ---------------------------------------------------------

class Download : public testing::Test {
  protected:
    void SetUp() override {
        // Quiet unless a test captures the log.
        groups::internetDownloads.setEnabled(false);
        groups::httpHeaders.setEnabled(false);
        session_ = platform::InternetSession::open(kAgent);
        ASSERT_TRUE(session_);
        server_.setStall(std::chrono::milliseconds(10000));
    }

    void TearDown() override {
        groups::internetDownloads.setEnabled(true);
        groups::httpHeaders.setEnabled(true);
    }

    std::vector<char> fetch(const std::string& url) {
        std::vector<char> body;
        tools::downloadUrl(session_, url, body);
        return body;
    }

    LoopbackServer server_;
    std::shared_ptr<platform::InternetSession> session_;
};

struct ResponseCase {
    std::string target;
    std::string body;
    std::string statusLine;
};

void PrintTo(const ResponseCase& c, std::ostream* out) {
    *out << c.target;
}

class DownloadResponse : public Download, public testing::WithParamInterface<ResponseCase> {};

TEST_P(DownloadResponse, ReturnsBodyWhateverTheStatusAndLogsIt) {
    const ResponseCase& c = GetParam();
    LogCapture log;
    const std::string url = server_.url(c.target);
    std::vector<char> body{'o', 'l', 'd'};
    tools::downloadUrl(session_, url, body);

    EXPECT_EQ(bodyText(body), c.body);
    expectTerminated(body);
    EXPECT_EQ(log.text(), "Reading URL: " + url +
                              "\nNo Last-Modified HTTP header was provided."
                              "\nNo ETag HTTP header was provided.\n" +
                              c.statusLine +
                              "\nReceived file OK: #bytes=" + std::to_string(c.body.size()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DownloadResponse,
    testing::Values(ResponseCase{"/answer", LoopbackServer::kAnswerBody, "HTTP response: 200 OK"},
                    ResponseCase{"/missing", LoopbackServer::kMissingBody,
                                 "HTTP response: 404 Not Found"},
                    ResponseCase{"/redirect", LoopbackServer::kAnswerBody, "HTTP response: 200 OK"},
                    ResponseCase{"/empty", "", "HTTP response: 200 OK"},
                    ResponseCase{"/large", LoopbackServer::largeBody(), "HTTP response: 200 OK"},
                    ResponseCase{"/echo?channel=lounge&max=10", "/echo?channel=lounge&max=10",
                                 "HTTP response: 200 OK"}));

struct RedirectCase {
    std::string target;
    std::string headerLine;
};

void PrintTo(const RedirectCase& c, std::ostream* out) {
    *out << c.target;
}

class UnfollowedRedirect : public Download, public testing::WithParamInterface<RedirectCase> {};

TEST_P(UnfollowedRedirect, ReturnsEmptyBodyAndLogsLocation) {
    LogCapture log;
    const std::string url = server_.url(GetParam().target);
    std::vector<char> body{'o', 'l', 'd'};
    tools::downloadUrl(session_, url, body);

    EXPECT_TRUE(body.empty());
    expectTerminated(body);
    EXPECT_EQ(log.text(), "Reading URL: " + url +
                              "\nNo Last-Modified HTTP header was provided."
                              "\nNo ETag HTTP header was provided."
                              "\nHTTP response: 302 Found\n" +
                              GetParam().headerLine + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, UnfollowedRedirect,
    testing::Values(RedirectCase{"/redirect-nowhere", "No Location HTTP tag was returned."},
                    RedirectCase{"/redirect-loop", "Found HTTP tag: Location='/redirect-loop'"}));

TEST_F(Download, SendsOneBareGetWithTheSessionAgent) {
    fetch(server_.url("/echo?a=1&b=%41"));

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests.front();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/echo?a=1&b=%41");
    EXPECT_EQ(request.version, "HTTP/1.1");
    EXPECT_EQ(request.header("User-Agent"), kAgent);
    std::vector<std::string> names;
    for (const auto& header : request.headers) {
        names.push_back(header.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent"}));
}

TEST_F(Download, SwitchedOffGroupsLogNothingAndChangeNothing) {
    {
        LogCapture log(false, false);
        EXPECT_EQ(bodyText(fetch(server_.url("/answer"))), LoopbackServer::kAnswerBody);
        EXPECT_EQ(log.text(), "");
    }
    {
        LogCapture log(true, false);
        fetch(server_.url("/redirect-nowhere"));
        EXPECT_EQ(log.text(), "Reading URL: " + server_.url("/redirect-nowhere") +
                                  "\nHTTP response: 302 Found\n");
    }
}

// Reading the body through the layer in pieces of various sizes keeps every byte in order, and
// no read returns more than asked for.
class RequestRead : public Download, public testing::WithParamInterface<std::size_t> {};

TEST_P(RequestRead, DeliversTheBodyInPiecesOfAtMostTheCapacity) {
    auto connection = platform::HttpConnection::connect(session_, "127.0.0.1", server_.port(),
                                                        InternetScheme::Http);
    ASSERT_TRUE(connection);
    auto request = platform::HttpRequest::open(*connection, "GET", "/large", "HTTP/1.1");
    ASSERT_TRUE(request);
    ASSERT_TRUE(request->send());
    std::uint32_t status = 0;
    ASSERT_TRUE(request->queryStatusCode(status));
    EXPECT_EQ(status, 200u);
    std::string location;
    EXPECT_FALSE(request->queryLocation(location));

    const std::size_t capacity = GetParam();
    std::string received;
    std::vector<char> piece(capacity);
    for (;;) {
        std::size_t count = 0;
        ASSERT_TRUE(request->read(piece.data(), capacity, count));
        ASSERT_LE(count, capacity);
        if (count == 0) {
            break;
        }
        received.append(piece.data(), count);
    }
    EXPECT_EQ(received, LoopbackServer::largeBody());
}

INSTANTIATE_TEST_SUITE_P(Capacities, RequestRead,
                         testing::Values(std::size_t{1}, std::size_t{1000}, std::size_t{65536}));

// --- Failures ------------------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::string target;   // on the loopback service, unless `url` is given
    std::string url;      // used as is
    std::string message;  // the URL is appended
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class DownloadFault : public Download, public testing::WithParamInterface<FaultCase> {};

TEST_P(DownloadFault, ThrowsItsMessageWithTheUrl) {
    const FaultCase& c = GetParam();
    session_->setTimeouts({2000, 300});
    server_.setStall(std::chrono::milliseconds(5000));
    std::string url = c.url.empty() ? server_.url(c.target) : c.url;
    ClosedPort closed;
    for (const auto& [name, port] :
         {std::pair{"PORT"s, server_.port()}, {"CLOSED"s, closed.port()}}) {
        if (url.find(name) != std::string::npos) {
            url.replace(url.find(name), name.size(), std::to_string(port));
        }
    }
    // Wine reads a chunked body that breaks off before its last chunk as a whole one.
    if (testing_support::underWine() && std::string(c.name) == "BrokenChunks") {
        EXPECT_EQ(downloadError(session_, url), "(no error)");
        return;
    }
    EXPECT_EQ(downloadError(session_, url), c.message + url);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFault,
    testing::Values(
        FaultCase{"NoHost", "", "http:///answer", "Can't parse URL: "},
        FaultCase{"LongHost", "", "http://" + std::string(2000, 'h') + "/", "Can't parse URL: "},
        FaultCase{"Unresolvable", "", "http://no-such-host.invalid/x",
                  "Can't send the HTTP request: "},
        FaultCase{"Refused", "", "http://127.0.0.1:CLOSED/x", "Can't send the HTTP request: "},
        FaultCase{"PlainPathMissing", "", "answers/no-such-file.xml",
                  "Can't send the HTTP request: "},
        FaultCase{"TlsToPlainPort", "", "https://127.0.0.1:PORT/answer",
                  "Can't send the HTTP request: "},
        FaultCase{"StallBeforeHeaders", "/stall-headers", "", "Can't send the HTTP request: "},
        FaultCase{"StallInBody", "/stall-body", "", "Can't read the URL: "},
        FaultCase{"ClosedInBody", "/truncated", "", "Can't read the URL: "},
        FaultCase{"BrokenChunks", "/truncated-chunked", "", "Can't read the URL: "}),
    [](const testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

TEST_F(Download, ConnectingGivesUpAfterTheConnectLimit) {
    if (testing_support::underWine()) {
        GTEST_SKIP() << "Wine's WinINet does not apply the connect limit: a connection that gets "
                        "no answer waits for the system's TCP time-out, minutes";
    }
    Unanswered host;
    session_->setTimeouts({300, 60000});
    const std::string url = "http://127.0.0.1:" + std::to_string(host.port()) + "/answer";
    EXPECT_EQ(downloadError(session_, url), "Can't send the HTTP request: " + url);
}

// A service that sends a byte every 100 ms never trips the stall limit; the total limit ends the
// request. Without it this download would take 60 s.
TEST_F(Download, TotalLimitEndsAServiceThatTricklesItsBody) {
    server_.serveInPieces("/drip", std::string(600, 'd'), 1, std::chrono::milliseconds(100));
    session_->setTimeouts({2000, 5000, 1000});
    const std::string url = server_.url("/drip");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(downloadError(session_, url), "Can't read the URL: " + url);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(20));  // generous for a loaded machine
}

// Headers that come a byte every 100 ms restart every wait limit; the total limit still ends the
// request. Without it the download would go on until the server stops.
TEST_F(Download, TotalLimitEndsAServiceThatTricklesItsHeaders) {
    if (testing_support::underWine()) {
        GTEST_SKIP() << "Wine's WinINet goes on waiting in HttpSendRequestA when another thread "
                        "closes the request's handle, which ends the wait on Windows; under Wine "
                        "this download would last as long as the server trickles";
    }
    testing_support::HeaderTrickler trickler;
    session_->setTimeouts({2000, 5000, 1000});
    const std::string url = "http://127.0.0.1:" + std::to_string(trickler.port()) + "/answer";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(downloadError(session_, url), "Can't send the HTTP request: " + url);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(20));  // generous for a loaded machine
}

TEST_F(Download, TotalLimitAlsoCoversWaitingForTheHeaders) {
    session_->setTimeouts({2000, 60000, 500});
    server_.setStall(std::chrono::milliseconds(5000));
    const std::string url = server_.url("/stall-headers");
    EXPECT_EQ(downloadError(session_, url), "Can't send the HTTP request: " + url);
}

TEST_F(Download, FailureLogsNothingOfItsOwn) {
    LogCapture log;
    EXPECT_EQ(downloadError(session_, "http://"), "Can't parse URL: http://");
    EXPECT_EQ(log.text(), "Reading URL: http://\n");
}

TEST_F(Download, WithoutSessionFailsToOpenTheSession) {
    EXPECT_EQ(downloadError(nullptr, server_.url("/answer")),
              "Can't open an session with host: 127.0.0.1");
    EXPECT_EQ(server_.requests().size(), 0u);
}

TEST_F(Download, SessionStaysUsableAfterAFailure) {
    session_->setTimeouts({2000, 300});
    EXPECT_EQ(downloadError(session_, server_.url("/truncated")),
              "Can't read the URL: " + server_.url("/truncated"));
    EXPECT_EQ(bodyText(fetch(server_.url("/answer"))), LoopbackServer::kAnswerBody);
}

TEST_F(Download, ConcurrentDownloadsOnOneSession) {
    LogCapture log(true, false);
    constexpr int kThreads = 8;
    constexpr int kRounds = 3;
    const std::string large = LoopbackServer::largeBody();
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int round = 0; round < kRounds; ++round) {
                    const std::string target = "/echo?thread=" + std::to_string(t);
                    if (bodyText(fetch(server_.url(target))) != target ||
                        bodyText(fetch(server_.url("/large"))) != large) {
                        errors[t] = "wrong body";
                    }
                }
            } catch (const std::exception& error) {
                errors[t] = error.what();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(errors, std::vector<std::string>(kThreads));
    EXPECT_EQ(server_.requestCount("/large"), std::size_t{kThreads * kRounds});
    // Lines of concurrent downloads stay whole.
    std::istringstream lines(log.text());
    std::size_t received = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.rfind("Reading URL: ", 0) == 0 || line.rfind("HTTP response: ", 0) == 0 ||
                    line.rfind("Received file OK: #bytes=", 0) == 0)
            << line;
        received += line.rfind("Received file OK: #bytes=", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(received, std::size_t{2 * kThreads * kRounds});
}

// --- Local files ---------------------------------------------------------------------------------

class LocalFile : public Download {
  protected:
    TempDir dir_;
};

// The file URL of a local path as the system writes one ("file:///C:/dir/x" on Windows), with
// its blanks escaped.
std::string fileUrl(const std::string& path) {
    const std::string generic = std::filesystem::path(path).generic_string();
    const std::string raw = testing_support::onWindows() ? "file:///" + generic : "file://" + path;
    std::string url;
    for (const char c : raw) {
        url += c == ' ' ? "%20"s : std::string(1, c);
    }
    return url;
}

TEST_F(LocalFile, ReadsFileUrlsAndPlainPathsByteForByte) {
    const std::string content = "<a>\0\r\n\xE9\xFF</a>"s;
    const std::string path = dir_.write("an answer.xml", content);
    const auto previous = std::filesystem::current_path();
    for (const std::string& url : {fileUrl(path), path, "an answer.xml"s}) {
        SCOPED_TRACE(url);
        LogCapture log;
        // A relative path is taken from the working directory.
        std::filesystem::current_path(dir_.path());
        std::vector<char> body;
        try {
            body = fetch(url);
        } catch (...) {
            std::filesystem::current_path(previous);
            throw;
        }
        std::filesystem::current_path(previous);
        EXPECT_EQ(bodyText(body), content);
        expectTerminated(body);
        EXPECT_EQ(log.text(), "Reading URL: " + url + "\nRead the local file OK: #bytes=" +
                                  std::to_string(content.size()) +
                                  " ; faking an HTTP 200 OK status.\n");
    }
    EXPECT_EQ(server_.requests().size(), 0u);
}

// Names with bytes of 0x80 and above, made as the plug-in opens files: through the C library's
// narrow names (the ANSI code page on Windows, where 0x80 and 0xE9 are characters that Latin-1
// would read otherwise or not at all).
TEST_F(LocalFile, APlainPathWithHighBytesInItsNameIsFound) {
    for (const std::string& name : {"caf\xE9.xml"s, "\x80uro.xml"s}) {
        const std::string path = dir_.path().string() + "/" + name;
        {
            std::ofstream out(path, std::ios::binary);
            out << "<a>" << name << "</a>";
        }
        ASSERT_TRUE(std::ifstream(path).is_open()) << path;
        EXPECT_EQ(bodyText(fetch(path)), "<a>" + name + "</a>") << path;
    }
    EXPECT_EQ(server_.requests().size(), 0u);
}

TEST_F(LocalFile, ZeroLengthFileGivesEmptyBody) {
    const std::string path = dir_.write("empty.xml", "");
    LogCapture log;
    std::vector<char> body{'o', 'l', 'd'};
    tools::downloadUrl(session_, path, body);
    EXPECT_TRUE(body.empty());
    expectTerminated(body);
    EXPECT_EQ(log.text(), "Reading URL: " + path +
                              "\nRead the local file OK: #bytes=0 ; faking an HTTP 200 OK "
                              "status.\n");
}

TEST_F(LocalFile, MissingFileOrDirectoryInFileUrlCannotBeOpened) {
    const std::string missing = dir_.file("missing.xml");
    EXPECT_EQ(downloadError(session_, "file://" + missing), "Can't open file: " + missing);
    const std::string directory = dir_.path().string();
    EXPECT_EQ(downloadError(session_, "file://" + directory), "Can't open file: " + directory);
}

TEST_F(LocalFile, PlainPathOfDirectoryGoesTheHttpWay) {
    const std::string directory = dir_.path().string();
    LogCapture log;
    EXPECT_EQ(downloadError(session_, directory), "Can't send the HTTP request: " + directory);
    EXPECT_NE(log.text().find("No ETag HTTP header was provided."), std::string::npos);
}

// --- Sessions and error text ---------------------------------------------------------------------

// The text of an error number: POSIX has none for WinINet's numbers; Windows has WinINet's own
// text, which Wine words differently.
struct ErrorTextCase {
    unsigned long error;
    std::string posix;
    std::string windows;
    std::string wine;  // where Wine's text differs from Windows'
};

std::string expectedText(const ErrorTextCase& c) {
    if (!testing_support::onWindows()) {
        return c.posix;
    }
    return testing_support::underWine() && !c.wine.empty() ? c.wine : c.windows;
}

const ErrorTextCase kCannotConnect{12029, "WIN32 error 00002EFD",
                                   "A connection with the server could not be established",
                                   "The attempt to connect to the server failed."};

TEST(InternetSession, OpensWithTheAgentName) {
    const auto session = platform::InternetSession::open(kAgent);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->agent(), kAgent);
}

class Win32ErrorText : public testing::TestWithParam<ErrorTextCase> {};

TEST_P(Win32ErrorText, GivesSystemTextOrNumber) {
    platform::setLastError(GetParam().error);
    EXPECT_EQ(tools::win32ErrorText(), expectedText(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, Win32ErrorText,
    testing::Values(ErrorTextCase{0, "WIN32 error 00000000", "WIN32 error 00000000", ""},
                    ErrorTextCase{12007, "WIN32 error 00002EE7",
                                  "The server name or address could not be resolved",
                                  "The server name could not be resolved."},
                    kCannotConnect,
                    ErrorTextCase{0xDEADBEEF, "WIN32 error DEADBEEF", "WIN32 error DEADBEEF", ""},
                    // errno 2 and Windows error 2 are both a missing file.
                    ErrorTextCase{2, "No such file or directory",
                                  "The system cannot find the file specified.",
                                  "File not found."}));

}  // namespace
