// The serve command's routes, independent of the HTTP engine: the main page ("/"), the channels
// ("/channels/NAME.rss"), the status page ("/status", HTML or JSON), and one access log line per
// answer.
//
// - Only GET and HEAD are served; any other method is answered 405 with "Allow: GET, HEAD".
// - NAME is percent-decoded and must then be exactly one of the configured channel names; any
//   other name is 404 without touching the cache or the plug-in.
// - Channel answers share the cached text (no copy) and carry a strong ETag, Last-Modified,
//   Cache-Control max-age (the time left until the channel may be fetched again) and, when a
//   refetch failed and the last good feed is served, a Warning. If-None-Match and
//   If-Modified-Since are answered with 304; an If-Modified-Since that is not a valid HTTP date of
//   the years 1970-9999 is ignored.
// - A channel that never succeeded answers 404 (unknown to the plug-in), 502 (the fetch failed),
//   504 (the fetch passed its deadline) or 503 (the gateway is shutting down).
//
// Thread-safety: handle() and answered() may run on several threads at once; the service keeps
// no mutable state of its own apart from the access log's lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channelCache.h"
#include "channelDirectory.h"
#include "httpMessage.h"
#include "pluginLibrary.h"

namespace host {

struct ServiceSources {
    std::function<CallResult()> mainPage;
    // The configured channels as of now (cheap: called for every channel request).
    std::function<std::shared_ptr<const ChannelSet>()> channels;
    Intervals intervals;
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Receives each access log line without its line end; default: standard error.
    std::function<void(const std::string&)> log;
};

class HttpService : public RequestHandler {
  public:
    HttpService(ChannelCache& cache, ServiceSources sources);
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    void handle(const HttpRequest& request, Responder respond) override;
    void answered(const HttpRequest& request, const HttpResponse& response, std::size_t bytesSent,
                  std::chrono::microseconds elapsed) override;

    std::string statusJson() const;
    std::string statusHtml() const;

  private:
    struct Row;
    std::vector<Row> rows() const;
    void serveChannel(const HttpRequest& request, const std::string& name, Responder respond);
    HttpResponse channelAnswer(const std::string& name, const Lookup& lookup,
                               const std::string* ifNoneMatch,
                               const std::string* ifModifiedSince) const;

    ChannelCache& cache_;
    ServiceSources sources_;
    std::mutex logMutex_;
};

// Writes one line and its line end to standard error in a single write.
void writeErrorLine(const std::string& line);

}  // namespace host
