#include "httpService.h"

#include "channelAnswer.h"
#include "channelRows.h"
#include "feedFormats.h"
#include "feedSet.h"
#include "health.h"
#include "httpText.h"
#include "negotiation.h"
#include "readerParams.h"
#include "statusPage.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr const char* kHtmlType = "text/html; charset=utf-8";
// The plug-in renders its template's bytes; the bundled template declares Latin-1.
constexpr const char* kMainPageType = "text/html; charset=ISO-8859-1";
constexpr std::size_t kMaxOpmlLists = 256;

}  // namespace

// The OPML list for one base URL and one reading of the INI file.
struct HttpService::PreparedList {
    std::shared_ptr<const ChannelSet> channels;
    std::shared_ptr<const feeds::PreparedBody> body;
};

namespace {

ServiceSources withDefaults(ServiceSources sources) {
    if (!sources.log) {
        sources.log = writeErrorLine;
    }
    if (!sources.channels) {
        sources.channels = [] { return std::make_shared<const ChannelSet>(); };
    }
    if (!sources.intervals) {
        sources.intervals = [] { return Intervals{}; };
    }
    return sources;
}

}  // namespace

HttpService::HttpService(ChannelCache& cache, ServiceSources sources)
    : cache_(cache),
      sources_(withDefaults(std::move(sources))),
      baseUrls_(sources_.publicUrl),
      routes_(RouteHandlers{
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              serveIndex(request, std::move(respond));
          },
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              serveMainPage(request, std::move(respond));
          },
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              serveStatus(request, std::move(respond));
          },
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              serveOpml(request, std::move(respond));
          },
          [this](const HttpRequest& request, const RouteMatch& match, Responder respond) {
              serveChannel(request, match, std::move(respond));
          },
          [](const HttpRequest&, const RouteMatch&, Responder respond) { respond(healthAnswer()); },
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              const Reader shown = reader(request);
              HttpResponse response =
                  readyAnswer(pageInput(shown), !sources_.pluginReady || sources_.pluginReady(),
                              admitted(request));
              shownTo(shown, response);
              respond(std::move(response));
          },
          [this](const HttpRequest& request, const RouteMatch&, Responder respond) {
              serveMetrics(request, std::move(respond));
          }}) {
    cache_.setBaseUrl(baseUrls_.base());
}

HttpService::Reader HttpService::reader(const HttpRequest& request) const {
    Reader reader;
    reader.local = isLocalReader(request);
    if (sources_.accessKeys && sources_.accessKeys()) {
        // admitted() passed: the key is there and good.
        reader.linkQuery = keyQuery(queryValue(request.query, "key").value_or(std::string()));
    }
    return reader;
}

bool HttpService::admitted(const HttpRequest& request) const {
    const std::shared_ptr<const AccessKeys> keys =
        sources_.accessKeys ? sources_.accessKeys() : nullptr;
    if (!keys) {
        return true;
    }
    const std::optional<std::string> key = queryValue(request.query, "key");
    return key && keys->admits(*key);
}

void HttpService::shownTo(const Reader& reader, HttpResponse& response) const {
    if (reader.local || (sources_.privateFiles.empty() && sources_.privateDirectories.empty())) {
        return;
    }
    response.body = Body(hidePaths(std::string(response.body.view()), sources_.privateFiles,
                                   sources_.privateDirectories));
}

std::optional<PluginProblem> HttpService::pluginProblem() const {
    return sources_.pluginProblem ? sources_.pluginProblem() : std::nullopt;
}

void HttpService::setListening(std::string baseUrl, bool loopback) {
    baseUrls_.setListening(std::move(baseUrl), loopback);
    cache_.setBaseUrl(baseUrls_.base());
}

void HttpService::handle(const HttpRequest& request, Responder respond) {
    if (!baseUrls_.answersHost(request)) {
        // 421: this server does not answer for that name; a rebound one is the likely cause.
        HttpResponse response = HttpResponse::text(
            421,
            "This gateway listens on a loopback address and answers only to localhost, "
            "127.0.0.1 and [::1]" +
                (sources_.publicUrl.empty() ? std::string()
                                            : " and the host of " + sources_.publicUrl) +
                "; serve --public-url URL names the address readers use.\n");
        response.set("Cache-Control", "no-store");
        respond(std::move(response));
        return;
    }
    // Probes and the metrics' scraper carry no key; /metrics has its own address list.
    if (!admitted(request) && request.path != "/healthz" && request.path != "/readyz" &&
        request.path != "/metrics") {
        // The same answer for a missing and a wrong key, on every path: nothing to learn from it.
        HttpResponse response = HttpResponse::text(401, "Unauthorized\n");
        response.set("Cache-Control", "no-store");
        respond(std::move(response));
        return;
    }
    routes_.dispatch(request, std::move(respond));
}

void HttpService::answered(const HttpRequest& request, const HttpResponse& response,
                           std::size_t bytesSent, std::chrono::microseconds elapsed) {
    metrics_.answered(routeLabel(request.method, request.path), response.status);
    const std::string line = accessLogLine(sources_.logFormat, request, response, bytesSent,
                                           elapsed, std::chrono::system_clock::now());
    std::lock_guard<std::mutex> lock(logMutex_);
    sources_.log(line);
}

PageInput HttpService::pageInput(const Reader& reader) const {
    PageInput page;
    page.linkQuery = reader.linkQuery;
    page.now = sources_.now();
    page.configured = sources_.channels();
    page.intervals = sources_.intervals();
    page.problem = pluginProblem();
    page.rows = channelRows(*page.configured, cache_.status(), page.intervals);
    return page;
}

void HttpService::serveIndex(const HttpRequest& request, Responder respond) {
    const std::string baseUrl = baseUrls_.base();
    const Reader shown = reader(request);
    HttpResponse response;
    response.set("Content-Type", kHtmlType);
    response.set("Cache-Control", "no-cache");
    response.body = Body(indexPage(pageInput(shown), baseUrl));
    shownTo(shown, response);
    respond(std::move(response));
}

void HttpService::serveMainPage(const HttpRequest& request, Responder respond) const {
    const Reader shown = reader(request);
    if (const std::optional<PluginProblem> problem = pluginProblem()) {
        HttpResponse response = unavailableAnswer(*problem, "the main page", sources_.now());
        shownTo(shown, response);
        respond(std::move(response));
        return;
    }
    const CallResult page = sources_.mainPage();
    HttpResponse response;
    if (page.ok()) {
        response.set("Content-Type", kMainPageType);
        response.body = Body(page.text);
    } else if (page.status == DOVETRAIL_STATUS_NO_TEMPLATE) {
        response = HttpResponse::text(404, page.error + "\n");
    } else {
        response =
            HttpResponse::text(500, "Can't render the main page (status " +
                                        std::to_string(page.status) + "): " + page.error + "\n");
        shownTo(shown, response);
    }
    response.set("Cache-Control", "no-cache");
    respond(std::move(response));
}

void HttpService::serveStatus(const HttpRequest& request, Responder respond) const {
    const CacheOptions& options = cache_.options();
    const StatusSettings settings{cache_.minInterval(), options.fetchTimeout, options.maxFeedBytes,
                                  cache_.state().path()};
    const Reader shown = reader(request);
    HttpResponse response;
    if (wantsJson(request)) {
        response.set("Content-Type", "application/json");
        response.body = Body(statusJson(pageInput(shown), settings));
    } else {
        response.set("Content-Type", kHtmlType);
        response.body = Body(statusHtml(pageInput(shown), settings));
    }
    shownTo(shown, response);
    response.set("Cache-Control", "no-cache");
    response.set("Vary", "Accept");
    respond(std::move(response));
}

void HttpService::serveMetrics(const HttpRequest& request, Responder respond) const {
    bool allowed = false;
    for (const AddressRange& range : sources_.metricsAllow) {
        allowed = allowed || range.contains(request.peer);
    }
    if (!allowed) {
        HttpResponse response = HttpResponse::text(403, "Forbidden\n");
        response.set("Cache-Control", "no-store");
        respond(std::move(response));
        return;
    }
    GatewayMetrics::Snapshot snapshot;
    snapshot.channels = cache_.status();
    snapshot.engine = sources_.engine ? sources_.engine() : EngineCounts{};
    snapshot.pluginUp = !pluginProblem() && (!sources_.pluginReady || sources_.pluginReady());
    snapshot.now = sources_.now();
    HttpResponse response;
    response.set("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    response.set("Cache-Control", "no-store");
    response.body = Body(metrics_.text(snapshot));
    respond(std::move(response));
}

void HttpService::serveOpml(const HttpRequest& request, Responder respond) {
    const std::string baseUrl = baseUrls_.base();
    const std::string linkQuery = reader(request).linkQuery;
    const std::string listKey = baseUrl + linkQuery;
    const std::shared_ptr<const ChannelSet> channels = sources_.channels();
    std::shared_ptr<const PreparedList> list;
    {
        std::lock_guard<std::mutex> lock(opmlMutex_);
        const auto found = opml_.find(listKey);
        if (found != opml_.end() && found->second->channels == channels) {
            list = found->second;
        }
    }
    if (!list) {
        std::vector<feeds::OpmlChannel> outlines;
        for (const ChannelEntry& channel : channels->channels) {
            outlines.push_back(feeds::OpmlChannel{channel.name,
                                                  feeds::iniValueToUtf8(channel.title),
                                                  feeds::iniValueToUtf8(channel.description),
                                                  feeds::iniValueToUtf8(channel.homeUrl)});
        }
        try {
            auto prepared = std::make_shared<PreparedList>();
            prepared->channels = channels;
            prepared->body = std::make_shared<const feeds::PreparedBody>(
                feeds::prepareBody(feeds::writeOpml(outlines, baseUrl, sources_.now(), linkQuery),
                                   feeds::kOpmlContentType));
            list = prepared;
        } catch (const std::exception& e) {
            respond(HttpResponse::text(
                500, std::string("Can't write the OPML list: ") + e.what() + "\n"));
            return;
        }
        std::lock_guard<std::mutex> lock(opmlMutex_);
        // One list per key the file has held: keys taken out by a reload are dropped here.
        if (opml_.size() >= kMaxOpmlLists) {
            opml_.clear();
        }
        opml_[listKey] = list;
    }
    HttpResponse response = preparedAnswer(list->body, FormRequest::of(request));
    // It changes with the INI file only: readers and caches ask again, and get 304.
    response.set("Cache-Control", "no-cache");
    respond(std::move(response));
}

void HttpService::serveChannel(const HttpRequest& request, const RouteMatch& match,
                               Responder respond) {
    const std::shared_ptr<const ChannelSet> channels = sources_.channels();
    // Only a configured name, byte for byte, reaches the cache and the plug-in.
    if (hasControlByte(match.name) || channels->find(match.name) == nullptr) {
        HttpResponse response =
            HttpResponse::text(404, "Unknown channel: " + text::printable(match.name) + "\n");
        response.set("Cache-Control", "no-store");
        respond(std::move(response));
        return;
    }
    // The request ends with this call: the answer, which may come later, keeps its own copies.
    ChannelRequest asked{match.name, match.format, FormRequest::of(request), std::nullopt};
    // A plain request (no query) goes straight on to the prepared form.
    if (!request.query.empty()) {
        ReaderParams params = parseReaderParams(request.query, match.format);
        if (!params.error.empty()) {
            HttpResponse response = HttpResponse::text(400, params.error);
            response.set("Cache-Control", "no-store");
            respond(std::move(response));
            return;
        }
        asked.selection = std::move(params.selection);
    }
    // Feeds carry no links of the reader's: only whether its error answers may show paths.
    Reader shown;
    shown.local = isLocalReader(request);
    cache_.get(match.name, [this, asked = std::move(asked), shown = std::move(shown),
                            respond = std::move(respond)](Lookup lookup) {
        const ChannelAnswerContext context{sources_.now(), cache_.options().fetchTimeout,
                                           [this] { return pluginProblem(); }};
        HttpResponse response = channelAnswer(asked, lookup, context);
        if (response.status >= 400) {
            shownTo(shown, response);
        }
        respond(std::move(response));
    });
}

}  // namespace host
