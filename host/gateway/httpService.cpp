#include "httpService.h"

#include "channelAnswer.h"
#include "channelRows.h"
#include "feedFormats.h"
#include "feedSet.h"
#include "httpText.h"
#include "negotiation.h"
#include "statusPage.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr const char* kHtmlType = "text/html; charset=utf-8";
// The plug-in renders its template's bytes; the bundled template declares Latin-1.
constexpr const char* kMainPageType = "text/html; charset=ISO-8859-1";
constexpr std::string_view kChannelPrefix = "/channels/";
}  // namespace

std::vector<ChannelSchedule> channelSchedules(const ChannelSet& channels,
                                              const Intervals& intervals) {
    std::vector<ChannelSchedule> schedules;
    for (const ChannelEntry& channel : channels.channels) {
        schedules.push_back(ChannelSchedule{
            channel.name, std::chrono::seconds(intervals.forKind(channel.intervalKind))});
    }
    return schedules;
}

// The OPML list for one base URL and one reading of the INI file.
struct HttpService::PreparedList {
    std::shared_ptr<const ChannelSet> channels;
    std::shared_ptr<const feeds::PreparedBody> body;
};

HttpService::HttpService(ChannelCache& cache, ServiceSources sources)
    : cache_(cache), sources_(std::move(sources)), baseUrls_(sources_.publicUrl, sources_.now) {
    if (!sources_.log) {
        sources_.log = writeErrorLine;
    }
    if (!sources_.channels) {
        sources_.channels = [] { return std::make_shared<const ChannelSet>(); };
    }
    if (!sources_.intervals) {
        sources_.intervals = [] { return Intervals{}; };
    }
    if (!sources_.publicUrl.empty()) {
        cache_.setBaseUrl(sources_.publicUrl);
    }
}

std::optional<PluginProblem> HttpService::pluginProblem() const {
    return sources_.pluginProblem ? sources_.pluginProblem() : std::nullopt;
}

HttpResponse HttpService::unavailableAnswer(const PluginProblem& problem,
                                            const std::string& what) const {
    return host::unavailableAnswer(problem, what, sources_.now());
}

void HttpService::setFallbackBaseUrl(std::string baseUrl) {
    if (!sources_.publicUrl.empty()) {
        return;
    }
    cache_.setBaseUrl(baseUrl);
    baseUrls_.setFallback(std::move(baseUrl));
}

void HttpService::handle(const HttpRequest& request, Responder respond) {
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse response =
            HttpResponse::text(405, "Method not allowed: " + text::printable(request.method) +
                                        "\nThis server answers GET and HEAD only.\n");
        response.set("Allow", "GET, HEAD");
        respond(std::move(response));
        return;
    }
    const std::string& path = request.path;
    if (path == "/") {
        HttpResponse response;
        response.set("Content-Type", kHtmlType);
        response.set("Cache-Control", "no-cache");
        const std::string baseUrl = baseUrls_.forRequest(request);
        response.body = Body(indexPage(pageInput(), baseUrl));
        respond(std::move(response));
        return;
    }
    if (path == "/main-page") {
        if (const std::optional<PluginProblem> problem = pluginProblem()) {
            respond(unavailableAnswer(*problem, "the main page"));
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
            response = HttpResponse::text(500, "Can't render the main page (status " +
                                                   std::to_string(page.status) +
                                                   "): " + page.error + "\n");
        }
        response.set("Cache-Control", "no-cache");
        respond(std::move(response));
        return;
    }
    if (path == "/status") {
        const CacheOptions& options = cache_.options();
        const StatusSettings settings{cache_.minInterval(), options.fetchTimeout,
                                      options.maxFeedBytes, cache_.state().path()};
        HttpResponse response;
        if (wantsJson(request)) {
            response.set("Content-Type", "application/json");
            response.body = Body(statusJson(pageInput(), settings));
        } else {
            response.set("Content-Type", kHtmlType);
            response.body = Body(statusHtml(pageInput(), settings));
        }
        response.set("Cache-Control", "no-cache");
        response.set("Vary", "Accept");
        respond(std::move(response));
        return;
    }
    if (path == "/channels.opml") {
        respond(opmlAnswer(request, baseUrls_.forRequest(request)));
        return;
    }
    if (path.size() > kChannelPrefix.size() &&
        path.compare(0, kChannelPrefix.size(), kChannelPrefix) == 0) {
        const std::string_view rest = std::string_view(path).substr(kChannelPrefix.size());
        const std::size_t dot = rest.rfind('.');
        const std::optional<feeds::FeedFormat> format =
            dot == std::string_view::npos ? std::nullopt
                                          : feeds::parseFeedFormat(rest.substr(dot + 1));
        const std::optional<std::string> name =
            format ? text::percentDecodeStrict(rest.substr(0, dot)) : std::nullopt;
        if (name && !name->empty()) {
            serveChannel(request, *name, *format, std::move(respond));
            return;
        }
    }
    HttpResponse response = HttpResponse::text(
        404, "Not found: " + text::printable(path) +
                 "\nChannels are served at /channels/NAME.rss (also .atom, .json and .plugin); "
                 "/ lists them.\n");
    respond(std::move(response));
}

void HttpService::serveChannel(const HttpRequest& request, const std::string& name,
                               feeds::FeedFormat format, Responder respond) {
    const std::shared_ptr<const ChannelSet> channels = sources_.channels();
    // Only a configured name, byte for byte, reaches the cache and the plug-in.
    if (hasControlByte(name) || channels->find(name) == nullptr) {
        HttpResponse response =
            HttpResponse::text(404, "Unknown channel: " + text::printable(name) + "\n");
        response.set("Cache-Control", "no-store");
        respond(std::move(response));
        return;
    }
    // The request ends with this call: the answer, which may come later, keeps its own copies.
    ChannelRequest asked{name, format,
                         // The plug-in's text has no absolute URLs in it: its answer needs no base.
                         format == feeds::FeedFormat::plugin ? std::string()
                                                             : baseUrls_.forRequest(request),
                         FormRequest::of(request)};
    cache_.get(name, [this, asked = std::move(asked), respond = std::move(respond)](Lookup lookup) {
        const ChannelAnswerContext context{sources_.now(), cache_.options().fetchTimeout,
                                           [this] { return pluginProblem(); }};
        respond(channelAnswer(asked, lookup, context));
    });
}

HttpResponse HttpService::opmlAnswer(const HttpRequest& request, const std::string& baseUrl) {
    const std::shared_ptr<const ChannelSet> channels = sources_.channels();
    std::shared_ptr<const PreparedList> list;
    {
        std::lock_guard<std::mutex> lock(opmlMutex_);
        const auto found = opml_.find(baseUrl);
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
            prepared->body = std::make_shared<const feeds::PreparedBody>(feeds::prepareBody(
                feeds::writeOpml(outlines, baseUrl, sources_.now()), feeds::kOpmlContentType));
            list = prepared;
        } catch (const std::exception& e) {
            return HttpResponse::text(500,
                                      std::string("Can't write the OPML list: ") + e.what() + "\n");
        }
        std::lock_guard<std::mutex> lock(opmlMutex_);
        // One list per base: the bases are bounded (see BaseUrls).
        opml_[baseUrl] = list;
    }
    HttpResponse response = preparedAnswer(list->body, FormRequest::of(request));
    // It changes with the INI file only: readers and caches ask again, and get 304.
    response.set("Cache-Control", "no-cache");
    return response;
}

void HttpService::answered(const HttpRequest& request, const HttpResponse& response,
                           std::size_t bytesSent, std::chrono::microseconds elapsed) {
    const std::string line =
        accessLogLine(request, response, bytesSent, elapsed, std::chrono::system_clock::now());
    std::lock_guard<std::mutex> lock(logMutex_);
    sources_.log(line);
}

PageInput HttpService::pageInput() const {
    PageInput page;
    page.now = sources_.now();
    page.configured = sources_.channels();
    page.intervals = sources_.intervals();
    page.problem = pluginProblem();
    page.rows = channelRows(*page.configured, cache_.status(), page.intervals);
    return page;
}

}  // namespace host
