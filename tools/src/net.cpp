#include "net.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "pluginGroups.h"

namespace tools {

namespace {

constexpr std::size_t kHostCapacity = 1024;
constexpr std::size_t kPathCapacity = 4096;
constexpr std::size_t kReadChunk = 0x10000;
constexpr std::uint16_t kHttpPort = 80;
constexpr std::uint16_t kHttpsPort = 443;

[[noreturn]] void fail(const std::string& what, const std::string& value) {
    throw std::runtime_error(what + value);
}

void readLocalFile(const std::string& fileName, BodySink& sink) {
    std::ifstream file(fileName, std::ios::binary);
    // A directory opens like a file here but has no content to give.
    if (!file.is_open() || platform::fileKind(fileName) == platform::FileKind::Directory) {
        fail("Can't open file: ", fileName);
    }
    sink.begin(200, "OK");
    // Read to its end rather than to a size taken up front: a file that shrinks or grows while it
    // is read gives what it holds.
    std::uint64_t total = 0;
    for (;;) {
        char* buffer = sink.room(kReadChunk);
        file.read(buffer, static_cast<std::streamsize>(kReadChunk));
        if (file.bad()) {
            fail("Can't read file: ", fileName);
        }
        const auto count = static_cast<std::size_t>(file.gcount());
        if (count == 0) {
            break;
        }
        total += count;
        sink.received(count);
    }
    LOG_TO_GROUP(&groups::internetDownloads,
                 "Read the local file OK: #bytes=" << total << " ; faking an HTTP 200 OK status.");
    sink.end();
}

// Gathers a body into a vector that grows by doubling, and leaves a zero byte after it in storage
// for callers that scan it as text.
class VectorSink final : public BodySink {
  public:
    explicit VectorSink(std::vector<char>& body) : body_(body) {}

    void begin(std::uint32_t, const std::string&) override {
        body_.clear();
        size_ = 0;
    }
    char* room(std::size_t wanted) override {
        if (body_.capacity() < size_ + wanted) {
            body_.reserve(std::max(2 * body_.capacity(), size_ + wanted));
            platform::adviseLargeBuffer(body_.data() + size_, body_.capacity() - size_);
        }
        body_.resize(size_ + wanted);
        return body_.data() + size_;
    }
    void received(std::size_t count) override { size_ += count; }
    void end() override {
        body_.resize(size_);
        body_.push_back('\0');
        body_.pop_back();
    }

  private:
    std::vector<char>& body_;
    std::size_t size_ = 0;
};

// The local file a URL names, or empty when it is fetched over HTTP.
std::string localFileOf(const std::string& url, const platform::UrlParts& parts) {
    if (parts.scheme == platform::InternetScheme::File) {
        return parts.path;
    }
    if (parts.scheme == platform::InternetScheme::Unknown) {
        // Asked by the name as the file is opened, so a name with bytes of 0x80 and above is
        // found in whatever code page the system names files.
        if (platform::fileKind(url) == platform::FileKind::Regular) {
            return url;
        }
    }
    return {};
}

}  // namespace

void downloadUrl(const std::shared_ptr<platform::InternetSession>& session, const std::string& url,
                 BodySink& sink) {
    LOG_TO_GROUP(&groups::internetDownloads, "Reading URL: " << url);

    platform::UrlParts parts;
    if (!platform::crackUrl(url, kHostCapacity, kPathCapacity, parts)) {
        fail("Can't parse URL: ", url);
    }

    if (const std::string fileName = localFileOf(url, parts); !fileName.empty()) {
        readLocalFile(fileName, sink);
        return;
    }

    std::uint16_t port = parts.port;
    if (port == 0) {
        port = parts.scheme == platform::InternetScheme::Https ? kHttpsPort : kHttpPort;
    }
    const auto connection =
        platform::HttpConnection::connect(session, parts.host, port, parts.scheme);
    if (!connection) {
        fail("Can't open an session with host: ", parts.host);
    }
    // Declared after the connection, so it is closed first.
    const auto request = platform::HttpRequest::open(*connection, "GET", parts.path, "HTTP/1.1");
    if (!request) {
        fail("Can't open request: host=", parts.host + " ; urlPath=" + parts.path);
    }

    LOG_TO_GROUP(&groups::httpHeaders, "No Last-Modified HTTP header was provided.");
    LOG_TO_GROUP(&groups::httpHeaders, "No ETag HTTP header was provided.");

    if (!request->send()) {
        fail("Can't send the HTTP request: ", url);
    }
    std::uint32_t status = 0;
    if (!request->queryStatusCode(status)) {
        fail("Can't read the HTTP response: ", url);
    }
    std::string statusText;
    if (!request->queryStatusText(statusText)) {
        statusText.clear();
    }
    LOG_TO_GROUP(&groups::internetDownloads, "HTTP response: " << status << " " << statusText);

    sink.begin(status, statusText);

    if (status == 301 || status == 302) {
        std::string location;
        if (request->queryLocation(location)) {
            LOG_TO_GROUP(&groups::httpHeaders, "Found HTTP tag: Location='" << location << "'");
        } else {
            LOG_TO_GROUP(&groups::httpHeaders, "No Location HTTP tag was returned.");
        }
        sink.end();
        return;
    }

    // 64 bits, as a body may exceed what a 32-bit size can count.
    std::uint64_t total = 0;
    for (;;) {
        char* buffer = sink.room(kReadChunk);
        std::size_t count = 0;
        if (!request->read(buffer, kReadChunk, count)) {
            fail("Can't read the URL: ", url);
        }
        if (count == 0) {
            break;
        }
        total += count;
        sink.received(count);
    }
    LOG_TO_GROUP(&groups::internetDownloads, "Received file OK: #bytes=" << total);
    sink.end();
}

void downloadUrl(const std::shared_ptr<platform::InternetSession>& session, const std::string& url,
                 std::vector<char>& body) {
    VectorSink sink(body);
    downloadUrl(session, url, sink);
}

std::string win32ErrorText() {
    const unsigned long error = platform::lastError();
    std::string text = error == 0 ? std::string() : platform::systemErrorText(error);
    // One line, as the system's text is asked for without its line breaks.
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (text.empty()) {
        char buffer[32];
        // Error numbers are 32 bits wide.
        std::snprintf(buffer, sizeof buffer, "WIN32 error %08lX", error & 0xFFFFFFFFul);
        text = buffer;
    }
    return text;
}

}  // namespace tools
