// The serve command's routes, independent of the HTTP engine, and one access log line per answer:
//
//   /                        the gateway's index page: every channel, its state and its feeds
//   /channels/NAME.rss       RSS 2.0            /channels/NAME.atom     Atom 1.0
//   /channels/NAME.json      JSON Feed 1.1      /channels/NAME.plugin   the plug-in's own text
//   /channels.opml           OPML 2.0 with every channel, for a reader's import
//   /main-page               the plug-in's main page (404 with its message without a template)
//   /status                  every channel's fetches (HTML, or JSON)
//
// - Only GET and HEAD are served; any other method is answered 405 with "Allow: GET, HEAD".
// - NAME is percent-decoded and must then be exactly one of the configured channel names; any
//   other name is 404 without touching the cache or the plug-in.
// - Feed answers come from the forms the cache prepared once per fetch (no conversion and no copy
//   per request): the gzip copy for a reader that accepts gzip, with "Vary: Accept-Encoding"; a
//   strong ETag per representation, Last-Modified (when the text last changed), Cache-Control
//   max-age (the time left until the channel may be fetched again) and, when a refetch failed and
//   the last good feed is served, a Warning. If-None-Match and If-Modified-Since are answered with
//   304; an If-Modified-Since that is not a valid HTTP date of the years 1970-9999 is ignored.
// - A channel that never succeeded answers 404 (unknown to the plug-in), 502 (the fetch failed),
//   504 (the fetch passed its deadline) or 503 (the gateway is shutting down, or the plug-in is
//   not initialised), with Retry-After saying when the next fetch (or plug-in start) may be. Error
//   answers carry the hint that goes with the failure, on a line of its own. A text that cannot
//   be converted is served as .plugin; its other forms answer 502 with the reason.
// - Absolute URLs (self links, OPML, the index page) start with the public URL when one is
//   configured. Otherwise they are built from the request's Host, when it is a well-formed host
//   and port; a gateway keeps forms for at most kMaxHostBases such names (the first it meets), so
//   that made-up Host headers cost neither memory nor conversions. Other requests get the fallback
//   base (the listening address).
//
// Thread-safety: handle() and answered() may run on several threads at once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accessLog.h"
#include "baseUrls.h"
#include "channelCache.h"
#include "channelDirectory.h"
#include "httpMessage.h"
#include "pluginHost.h"
#include "pluginLibrary.h"

namespace host {

struct PageInput;

struct ServiceSources {
    std::function<CallResult()> mainPage;
    // The configured channels as of now (cheap: called for every channel request).
    std::function<std::shared_ptr<const ChannelSet>()> channels;
    // The service's intervals as the plug-in last reported them.
    std::function<Intervals()> intervals;
    // Why the plug-in cannot be used now; null or nothing: it can. While it cannot, a channel
    // without a feed and the main page answer 503 with the reason, its hint and Retry-After, and
    // / and /status show it.
    std::function<std::optional<PluginProblem>()> pluginProblem;
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Receives each access log line without its line end; default: standard error.
    std::function<void(const std::string&)> log;
    // Where readers reach the gateway (from feeds::normalizeBaseUrl), e.g. behind a proxy; empty:
    // the request's Host says.
    std::string publicUrl;
};

// Each configured channel with the interval of its kind.
std::vector<ChannelSchedule> channelSchedules(const ChannelSet& channels,
                                              const Intervals& intervals);

class HttpService : public RequestHandler {
  public:
    // Base URLs taken from Host headers, at most.
    static constexpr std::size_t kMaxHostBases = BaseUrls::kMaxHostBases;

    HttpService(ChannelCache& cache, ServiceSources sources);
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // The base URL for requests whose Host cannot be used (the listening address); without a
    // public URL the cache prepares each fetch's forms for it.
    void setFallbackBaseUrl(std::string baseUrl);

    void handle(const HttpRequest& request, Responder respond) override;
    void answered(const HttpRequest& request, const HttpResponse& response, std::size_t bytesSent,
                  std::chrono::microseconds elapsed) override;

    // The plug-in's problem, or nothing.
    std::optional<PluginProblem> pluginProblem() const;
    // The 503 answer for a request that needs the plug-in while it cannot be used.
    HttpResponse unavailableAnswer(const PluginProblem& problem, const std::string& what) const;

  private:
    struct PreparedList;
    // What the pages show, read once for this request.
    PageInput pageInput() const;
    void serveChannel(const HttpRequest& request, const std::string& name, feeds::FeedFormat format,
                      Responder respond);
    HttpResponse opmlAnswer(const HttpRequest& request, const std::string& baseUrl);

    ChannelCache& cache_;
    ServiceSources sources_;
    std::mutex logMutex_;

    BaseUrls baseUrls_;

    std::mutex opmlMutex_;
    std::map<std::string, std::shared_ptr<const PreparedList>> opml_;  // by base URL
};

}  // namespace host
