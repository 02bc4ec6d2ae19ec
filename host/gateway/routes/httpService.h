// The serve command's request handling, independent of the HTTP engine: the routes
// (routes/routes.h) with their answers, and one access log line per answer.
//
// - Channel answers: routes/channelAnswer.h; content negotiation and validators:
//   routes/negotiation.h; the base of absolute links: routes/baseUrls.h; the index and status
//   pages: pages/.
// - NAME must be exactly one of the configured channel names, byte for byte; any other name is
//   answered 404 without touching the cache or the plug-in.
// - Feed answers come from the forms the cache prepared once per fetch: no conversion and no copy
//   per request. A query with reader parameters (routes/readerParams.h) is answered from a
//   variant written once per fetch and selection (feeds/feedVariants.h); a bad one gets 400.
//
// Thread-safety: handle() and answered() may run on several threads at once. The service keeps
// references to the cache, which must outlive it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "accessLog.h"
#include "baseUrls.h"
#include "channelCache.h"
#include "channelDirectory.h"
#include "httpMessage.h"
#include "metrics.h"
#include "pluginHost.h"
#include "pluginLibrary.h"
#include "readerAccess.h"
#include "routes.h"

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
    // Whether the plug-in has started (for /readyz); null: it has.
    std::function<bool()> pluginReady;
    NowFunction now = [] { return std::chrono::system_clock::now(); };
    // Receives each access log line without its line end; default: standard error.
    std::function<void(const std::string&)> log;
    AccessLogFormat logFormat = AccessLogFormat::combined;
    // Where readers reach the gateway (from feeds::normalizeBaseUrl), e.g. behind a proxy; empty:
    // the listening address.
    std::string publicUrl;
    // The keys every request must name as ?key=KEY (readerAccess.h); null, or a null result: none.
    // Any other answer (401) says nothing of why, and the links the pages and the OPML list give
    // carry the reader's own key.
    std::function<std::shared_ptr<const AccessKeys>()> accessKeys;
    // The gateway's files (absolute) and directories (ending in a separator), shown only to local
    // readers in the pages and error answers; others see the file names (readerAccess.h).
    std::vector<std::string> privateFiles;
    std::vector<std::string> privateDirectories;
    // The engine's connection counts for /metrics; null: none.
    std::function<EngineCounts()> engine;
    // Who may read /metrics (no key needed); others get 403.
    std::vector<AddressRange> metricsAllow = AddressRange::loopback();
};

class HttpService : public RequestHandler {
  public:
    HttpService(ChannelCache& cache, ServiceSources sources);
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Where serve listens: without a public URL the base of every link, for which the cache
    // writes each fetch's forms; on a loopback address only loopback names are answered (see
    // baseUrls.h; other Host values get 421).
    void setListening(std::string baseUrl, bool loopback);

    // Where the cache's fetch observer reports, for the duration histogram.
    GatewayMetrics& metrics() { return metrics_; }

    void handle(const HttpRequest& request, Responder respond) override;
    void answered(const HttpRequest& request, const HttpResponse& response, std::size_t bytesSent,
                  std::chrono::microseconds elapsed) override;

  private:
    struct PreparedList;
    // What this request's reader is given: its key in links, and the gateway's paths or not.
    struct Reader {
        std::string linkQuery;
        bool local = false;
    };
    Reader reader(const HttpRequest& request) const;
    bool admitted(const HttpRequest& request) const;
    // The body with the gateway's paths hidden unless the reader is local; for texts made per
    // request (pages, error answers), never a shared feed.
    void shownTo(const Reader& reader, HttpResponse& response) const;
    std::optional<PluginProblem> pluginProblem() const;
    // What the pages show, read once for this request.
    PageInput pageInput(const Reader& reader) const;
    void serveIndex(const HttpRequest& request, Responder respond);
    void serveMainPage(const HttpRequest& request, Responder respond) const;
    void serveStatus(const HttpRequest& request, Responder respond) const;
    void serveOpml(const HttpRequest& request, Responder respond);
    void serveChannel(const HttpRequest& request, const RouteMatch& match, Responder respond);
    void serveMetrics(const HttpRequest& request, Responder respond) const;

    ChannelCache& cache_;
    ServiceSources sources_;
    BaseUrls baseUrls_;
    RouteTable routes_;
    std::mutex logMutex_;
    GatewayMetrics metrics_;

    std::mutex opmlMutex_;
    // By base URL and key; a reader's key is in every link.
    std::map<std::string, std::shared_ptr<const PreparedList>> opml_;
};

}  // namespace host
