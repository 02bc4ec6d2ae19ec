#include "httpService.h"

#include <sstream>

#include "channelAnswer.h"
#include "feedFormats.h"
#include "feedSet.h"
#include "httpText.h"
#include "indexPage.h"
#include "negotiation.h"
#include "textDates.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr const char* kHtmlType = "text/html; charset=utf-8";
// The plug-in renders its template's bytes; the bundled template declares Latin-1.
constexpr const char* kMainPageType = "text/html; charset=ISO-8859-1";
constexpr std::string_view kChannelPrefix = "/channels/";

std::string outcomeText(const ChannelStatus& s) {
    if (s.origin == Origin::elsewhere && !s.lastSuccess) {
        return "fetching elsewhere";
    }
    if (s.fetching && !s.fetched) {
        return s.overdue ? "fetching, overdue" : "fetching";
    }
    if (!s.fetched) {
        return "never fetched";
    }
    return s.lastStatus == DOVETRAIL_STATUS_OK ? "ok" : "failed";
}

const char* originText(Origin origin) {
    switch (origin) {
        case Origin::fetched:
            return "fetched";
        case Origin::restored:
            return "state";
        case Origin::elsewhere:
            return "elsewhere";
        case Origin::none:
            break;
    }
    return "none";
}

// Texts from the INI file or the plug-in, as UTF-8 for a page or a JSON string.
std::string utf8(std::string_view bytes) {
    return feeds::iniValueToUtf8(bytes);
}
std::string json(std::string_view bytes) {
    return feeds::jsonQuote(utf8(bytes));
}
std::string html(std::string_view bytes) {
    return htmlEscape(utf8(bytes));
}

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

struct HttpService::Row {
    const ChannelEntry* channel = nullptr;
    ChannelStatus status;
};

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
        response.body = Body(indexPage(baseUrls_.forRequest(request)));
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
        HttpResponse response;
        if (wantsJson(request)) {
            response.set("Content-Type", "application/json");
            response.body = Body(statusJson());
        } else {
            response.set("Content-Type", kHtmlType);
            response.body = Body(statusHtml());
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
            outlines.push_back(feeds::OpmlChannel{channel.name, utf8(channel.title),
                                                  utf8(channel.description),
                                                  utf8(channel.homeUrl)});
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

std::vector<HttpService::Row> HttpService::rows(const ChannelSet& configured) const {
    const std::vector<ChannelStatus> seen = cache_.status();
    const Intervals intervals = sources_.intervals();
    std::vector<Row> rows;
    for (const ChannelEntry& channel : configured.channels) {
        Row row;
        row.channel = &channel;
        row.status.name = channel.name;
        row.status.interval =
            std::chrono::seconds(intervals.forKind(channel.intervalKind));
        for (const ChannelStatus& status : seen) {
            if (status.name == channel.name) {
                row.status = status;
                break;
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string HttpService::indexPage(const std::string& baseUrl) const {
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    feeds::IndexPageInput input;
    input.baseUrl = baseUrl;
    const Intervals intervals = sources_.intervals();
    input.lounge = std::chrono::seconds(intervals.lounge);
    input.messageBoards = std::chrono::seconds(intervals.messageBoards);
    input.articles = std::chrono::seconds(intervals.articles);
    input.now = sources_.now();
    if (const std::optional<PluginProblem> problem = pluginProblem()) {
        input.problem = utf8(problem->message);
        input.problemHint = utf8(problem->hint);
        input.nextAttempt = problem->nextAttempt;
    }
    for (const Row& row : rows(*configured)) {
        const ChannelStatus& s = row.status;
        feeds::IndexChannel channel;
        channel.name = s.name;
        channel.title = utf8(row.channel->title);
        channel.description = utf8(row.channel->description);
        channel.refetchInterval = s.interval;
        if (s.fetched) {
            channel.lastFetch = s.lastFetch;
            channel.nextFetch = s.nextFetch;
        }
        channel.fetching = s.fetching;
        channel.status = s.lastStatus;
        channel.error = utf8(s.lastError);
        channel.hint = utf8(s.lastHint);
        channel.hasFeed = s.lastSuccess.has_value();
        channel.conversionError = utf8(s.conversionError);
        input.channels.push_back(std::move(channel));
    }
    return feeds::renderIndexPage(input);
}

std::string HttpService::statusJson() const {
    const TimePoint now = sources_.now();
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    std::ostringstream out;
    const Intervals iv = sources_.intervals();
    const std::optional<PluginProblem> problem = pluginProblem();
    const CacheOptions& options = cache_.options();
    const std::string& statePath = cache_.state().path();
    out << "{\n  \"time\": " << json(text::isoDate(now))
        << ",\n  \"intervals\": {\"lounge\": " << iv.lounge
        << ", \"messageBoards\": " << iv.messageBoards << ", \"articles\": " << iv.articles
        << "},\n  \"minFetchIntervalSeconds\": " << cache_.minInterval().count()
        << ",\n  \"fetchTimeoutSeconds\": " << options.fetchTimeout.count() / 1000
        << ",\n  \"maxFeedBytes\": " << options.maxFeedBytes
        << ",\n  \"stateFile\": " << (statePath.empty() ? "null" : json(statePath))
        << ",\n  \"configurationError\": "
        << (configured->readError.empty() ? "null" : json(configured->readError))
        << ",\n  \"plugin\": ";
    if (problem) {
        out << "{\"ready\": false, \"error\": " << json(problem->message)
            << ", \"hint\": " << (problem->hint.empty() ? "null" : json(problem->hint))
            << ", \"failures\": " << problem->failures
            << ", \"nextAttempt\": " << json(text::isoDate(problem->nextAttempt)) << "}";
    } else {
        out << "{\"ready\": true}";
    }
    out << ",\n  \"channels\": [";
    bool first = true;
    for (const Row& row : rows(*configured)) {
        const ChannelStatus& s = row.status;
        out << (first ? "\n" : ",\n") << "    {\"name\": " << json(s.name);
        first = false;
        out << ", \"title\": " << json(row.channel->title) << ", \"configured\": true"
            << ", \"outcome\": " << json(outcomeText(s))
            << ", \"fetching\": " << (s.fetching ? "true" : "false")
            << ", \"overdue\": " << (s.overdue ? "true" : "false")
            << ", \"intervalSeconds\": " << s.interval.count()
            << ", \"origin\": " << json(originText(s.origin));
        if (s.fetched) {
            out << ", \"lastFetch\": " << json(text::isoDate(s.lastFetch))
                << ", \"status\": " << s.lastStatus << ", \"error\": "
                << (s.lastStatus == DOVETRAIL_STATUS_OK ? "null" : json(s.lastError))
                << ", \"hint\": " << (s.lastHint.empty() ? "null" : json(s.lastHint))
                << ", \"durationMs\": " << s.lastDuration.count() << ", \"bytes\": " << s.lastBytes
                << ", \"nextFetch\": " << json(text::isoDate(s.nextFetch)) << ", \"lastSuccess\": "
                << (s.lastSuccess ? json(text::isoDate(*s.lastSuccess)) : "null");
        } else {
            out << ", \"lastFetch\": null, \"status\": null, \"error\": null, \"hint\": null"
                   ", \"durationMs\": null"
                   ", \"bytes\": null, \"nextFetch\": null, \"lastSuccess\": null";
        }
        out << ", \"fetches\": " << s.fetches << ", \"failures\": " << s.failures
            << ", \"failureStreak\": " << s.failureStreak << ", \"conversionError\": "
            << (s.conversionError.empty() ? "null" : json(s.conversionError))
            << ", \"stateError\": " << (s.stateError.empty() ? "null" : json(s.stateError)) << "}";
    }
    out << (first ? "]\n}\n" : "\n  ]\n}\n");
    return out.str();
}

std::string HttpService::statusHtml() const {
    const TimePoint now = sources_.now();
    const Intervals iv = sources_.intervals();
    const std::optional<PluginProblem> problem = pluginProblem();
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    const std::string& statePath = cache_.state().path();
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>Dovetrail status</title>\n"
           "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
           "td,th{border:1px solid #aaa;padding:2px 6px;text-align:left}.failed{color:#a00}"
           "</style></head>\n<body>\n<h1>Dovetrail status</h1>\n<p>Time: "
        << text::isoDate(now) << ". Minimum update intervals: lounge " << iv.lounge / 60
        << " minutes, message boards " << iv.messageBoards / 60 << " minutes, articles "
        << iv.articles / 60
        << " minutes. Each channel is fetched at most once in its interval (a failed one is "
           "tried again after 30 seconds, doubling up to the longest interval); a fetch has "
        << secondsText(cache_.options().fetchTimeout) << "; feeds above "
        << cache_.options().maxFeedBytes << " bytes are not kept. State: "
        << (statePath.empty() ? std::string("in memory, lost when the gateway stops")
                              : html(statePath))
        << ".</p>\n";
    if (!configured->readError.empty()) {
        out << "<p class=\"failed\">" << html(configured->readError)
            << "; the channels read before are served.</p>\n";
    }
    if (problem) {
        out << "<p class=\"failed\">" << html(problem->message);
        if (!problem->hint.empty()) {
            out << "<br>hint: " << html(problem->hint);
        }
        out << "<br>Tried " << problem->failures << (problem->failures == 1 ? " time" : " times")
            << "; next attempt " << text::isoDate(problem->nextAttempt)
            << ". Channels with a feed are served meanwhile.</p>\n";
    }
    out << "<table>\n<tr><th>Channel</th>"
           "<th>Title</th><th>Outcome</th><th>Interval</th><th>Last fetch</th><th>Duration</th>"
           "<th>Bytes</th><th>Next fetch</th><th>Last success</th><th>Fetches</th>"
           "<th>Failures</th></tr>\n";
    for (const Row& row : rows(*configured)) {
        const ChannelStatus& s = row.status;
        const std::string outcome = outcomeText(s);
        out << "<tr class=\"" << (outcome == "failed" ? "failed" : "ok") << "\"><td>"
            << "<a href=\"/channels/" << htmlEscape(text::percentEncode(s.name)) << ".rss\">"
            << html(s.name) << "</a></td><td>" << html(row.channel->title) << "</td><td>"
            << htmlEscape(outcome);
        if (s.fetched && s.lastStatus != DOVETRAIL_STATUS_OK) {
            out << " (status " << s.lastStatus << "): " << html(s.lastError);
            if (s.failureStreak > 1) {
                out << " (" << s.failureStreak << " failures in a row)";
            }
            if (!s.lastHint.empty()) {
                out << "<br>hint: " << html(s.lastHint);
            }
        }
        if (s.origin == Origin::restored) {
            out << "; read from the state";
        } else if (s.origin == Origin::elsewhere) {
            out << "; being fetched by another process";
        }
        if (s.fetched && s.fetching) {
            out << "; fetching again" << (s.overdue ? ", overdue" : "");
        }
        if (!s.conversionError.empty()) {
            out << "; only the plug-in's text is served: " << html(s.conversionError);
        }
        if (!s.stateError.empty()) {
            out << "; " << html(s.stateError);
        }
        out << "</td><td>" << s.interval.count() << " s</td>";
        if (s.fetched) {
            out << "<td>" << text::isoDate(s.lastFetch) << "</td><td>" << s.lastDuration.count()
                << " ms</td><td>" << s.lastBytes << "</td><td>" << text::isoDate(s.nextFetch)
                << "</td><td>" << (s.lastSuccess ? text::isoDate(*s.lastSuccess) : "never")
                << "</td>";
        } else {
            out << "<td>never</td><td></td><td></td><td>now</td><td>never</td>";
        }
        out << "<td>" << s.fetches << "</td><td>" << s.failures << "</td></tr>\n";
    }
    out << "</table>\n</body></html>\n";
    return out.str();
}

}  // namespace host
