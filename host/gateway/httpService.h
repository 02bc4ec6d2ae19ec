// The serve command's HTTP side: routes on a cpp-httplib server for the main page ("/"), the
// channels ("/channels/NAME.rss") and the status page ("/status", HTML or JSON), plus one access
// log line per request.
//
// Channel answers carry a strong ETag, Last-Modified, Cache-Control max-age (the time left until
// the channel may be fetched again) and, when a refetch failed and the last good feed is served, a
// Warning header. If-None-Match and If-Modified-Since are answered with 304.
//
// Thread-safety: the handlers run on the server's worker threads; the service keeps no mutable
// state of its own apart from the access log's lock.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channelCache.h"
#include "channelList.h"
#include "pluginLibrary.h"

namespace httplib {
class Server;
}

namespace host {

struct ServiceSources {
    std::function<CallResult()> mainPage;
    // The configured channels, re-read for every status page (the INI file may change).
    std::function<std::vector<ChannelEntry>()> channels;
    Intervals intervals;
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Receives each access log line without its line end; default: standard error.
    std::function<void(const std::string&)> log;
};

class HttpService {
  public:
    HttpService(ChannelCache& cache, ServiceSources sources);
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Adds the routes, the not-found handler and the access logger to `server`.
    void install(httplib::Server& server);

    std::string statusJson() const;
    std::string statusHtml() const;

  private:
    struct Row;
    std::vector<Row> rows() const;
    void writeLog(const std::string& line);

    ChannelCache& cache_;
    ServiceSources sources_;
    std::mutex logMutex_;
};

// HTTP dates (IMF-fixdate) and their parsing; the obsolete RFC 850 and asctime forms are read too.
std::string httpDate(TimePoint time);
std::optional<TimePoint> parseHttpDate(const std::string& text);
// "2026-01-31T12:00:00Z"
std::string isoTime(TimePoint time);
// Whether an If-None-Match value (a list of tags, or "*") matches `etag` (weak comparison).
bool etagMatches(const std::string& ifNoneMatch, const std::string& etag);
// 8-bit Latin-1 text as a JSON string literal (UTF-8, quoted, escaped).
std::string jsonString(const std::string& latin1);
// Text for one log line: control bytes, bytes above 126, quotes and backslashes as \xHH.
std::string printable(const std::string& text);
// Text with &, <, >, " and ' escaped for HTML.
std::string htmlEscape(const std::string& text);

}  // namespace host
