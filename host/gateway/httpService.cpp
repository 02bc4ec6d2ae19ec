#include "httpService.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "feedFormats.h"
#include "feedSet.h"
#include "httpText.h"
#include "indexPage.h"
#include "textDates.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr const char* kHtmlType = "text/html; charset=utf-8";
// The plug-in renders its template's bytes; the bundled template declares Latin-1.
constexpr const char* kMainPageType = "text/html; charset=ISO-8859-1";
constexpr std::string_view kChannelPrefix = "/channels/";

long long secondsUntil(TimePoint later, TimePoint now) {
    if (later <= now) {
        return 0;
    }
    // Round up: a reader must not come back before the fetch is allowed.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(later - now).count();
    return (ms + 999) / 1000;
}

bool wantsJson(const HttpRequest& request) {
    if (queryValue(request.query, "format") == "json") {
        return true;
    }
    const std::string* accept = request.header("Accept");
    if (accept == nullptr) {
        return false;
    }
    const std::size_t json = accept->find("application/json");
    if (json == std::string::npos) {
        return false;
    }
    // A browser lists text/html first; prefer HTML when it comes before JSON.
    const std::size_t html = accept->find("text/html");
    return html == std::string::npos || json < html;
}

bool wantsGzip(const HttpRequest& request) {
    const std::string* accept = request.header("Accept-Encoding");
    return accept != nullptr && acceptsGzip(*accept);
}

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

// The time of day as the access log shows it, formatted once per second and thread.
const std::string& logTime(std::chrono::system_clock::time_point now) {
    thread_local std::time_t shownSecond = -1;
    thread_local std::string shown;
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != shownSecond) {
        shownSecond = second;
        shown = text::isoDate(now);
    }
    return shown;
}

// A body that shares one encoding of a prepared form.
Body preparedBody(const std::shared_ptr<const feeds::PreparedBody>& form, bool gzip) {
    const std::string& bytes = gzip ? form->gzip : form->identity;
    return Body(std::shared_ptr<const std::string>(form, &bytes), 0, bytes.size());
}

// Sets the headers of a prepared body and answers a matching If-None-Match with 304.
HttpResponse preparedAnswer(const HttpRequest& request,
                            const std::shared_ptr<const feeds::PreparedBody>& form) {
    const bool gzip = wantsGzip(request);
    HttpResponse response;
    response.set("Content-Type", form->contentType);
    response.set("ETag", gzip ? form->gzipEtag : form->etag);
    response.set("Vary", "Accept-Encoding");
    if (gzip) {
        response.set("Content-Encoding", "gzip");
    }
    const std::string* ifNoneMatch = request.header("If-None-Match");
    if (ifNoneMatch != nullptr && etagMatches(*ifNoneMatch, gzip ? form->gzipEtag : form->etag)) {
        response.status = 304;
        return response;
    }
    response.body = preparedBody(form, gzip);
    return response;
}

bool isHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::optional<std::string> baseUrlFromHost(std::string_view host) {
    while (!host.empty() && (host.front() == ' ' || host.front() == '\t')) {
        host.remove_prefix(1);
    }
    while (!host.empty() && (host.back() == ' ' || host.back() == '\t')) {
        host.remove_suffix(1);
    }
    if (host.empty() || host.size() > 255) {
        return std::nullopt;
    }
    std::string lower(host);
    for (char& c : lower) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::string_view name = lower;
    std::string_view port;
    if (name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos || close < 3) {
            return std::nullopt;
        }
        for (const char c : name.substr(1, close - 1)) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
                return std::nullopt;
            }
        }
        const std::string_view rest = name.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (!rest.empty() && port.empty()) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) {
            port = name.substr(colon + 1);
            name = name.substr(0, colon);
            if (port.empty()) {
                return std::nullopt;
            }
        }
        if (name.empty() || name.front() == '.' || name.front() == '-') {
            return std::nullopt;
        }
        for (const char c : name) {
            if (!isHostChar(c)) {
                return std::nullopt;
            }
        }
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoul(std::string(port)) > 65535) {
            return std::nullopt;
        }
    }
    return "http://" + lower;
}

void writeErrorLine(const std::string& line) {
    std::string out = line;
    out += '\n';
    // Standard error is unbuffered: one call, one write, so concurrent lines do not mix.
    std::fwrite(out.data(), 1, out.size(), stderr);
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
    : cache_(cache), sources_(std::move(sources)) {
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
        fallbackBase_ = sources_.publicUrl;
        cache_.setBaseUrl(sources_.publicUrl);
    }
}

std::optional<PluginProblem> HttpService::pluginProblem() const {
    return sources_.pluginProblem ? sources_.pluginProblem() : std::nullopt;
}

HttpResponse HttpService::unavailableAnswer(const PluginProblem& problem,
                                            const std::string& what) const {
    std::string body = "The gateway cannot serve " + what + " now: " + problem.message + "\n";
    if (!problem.hint.empty()) {
        body += "hint: " + problem.hint + "\n";
    }
    HttpResponse response = HttpResponse::text(503, body);
    // Never 0: a reader that asks again at once would only get this answer again.
    response.set("Retry-After",
                 std::to_string(std::max(secondsUntil(problem.nextAttempt, sources_.now()), 1LL)));
    response.set("Cache-Control", "no-store");
    return response;
}

void HttpService::setFallbackBaseUrl(std::string baseUrl) {
    if (!sources_.publicUrl.empty()) {
        return;
    }
    cache_.setBaseUrl(baseUrl);
    std::lock_guard<std::mutex> lock(baseMutex_);
    fallbackBase_ = std::move(baseUrl);
}

std::string HttpService::baseUrlFor(const HttpRequest& request) {
    if (!sources_.publicUrl.empty()) {
        return sources_.publicUrl;
    }
    const std::string* host = request.header("Host");
    std::optional<std::string> base = host ? baseUrlFromHost(*host) : std::nullopt;
    bool announceFull = false;
    std::string fallback;
    {
        std::lock_guard<std::mutex> lock(baseMutex_);
        if (base && (*base == fallbackBase_ || hostBases_.count(*base) != 0)) {
            return *base;
        }
        if (base && hostBases_.size() < kMaxHostBases) {
            hostBases_.insert(*base);
            return *base;
        }
        announceFull = base.has_value() && !hostBasesFull_;
        hostBasesFull_ = hostBasesFull_ || base.has_value();
        fallback = fallbackBase_;
    }
    if (announceFull) {
        writeErrorLine(text::isoDate(sources_.now()) + " more than " +
                       std::to_string(kMaxHostBases) +
                       " host names seen in Host headers; further ones get links under " +
                       fallback + " (give serve --public-url to name the one address)");
    }
    return fallback;
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
        response.body = Body(indexPage(baseUrlFor(request)));
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
        respond(opmlAnswer(request, baseUrlFor(request)));
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
    // The request ends with this call; an answer that comes later needs its own copies.
    const std::string* inm = request.header("If-None-Match");
    const std::string* ims = request.header("If-Modified-Since");
    std::optional<std::string> ifNoneMatch = inm ? std::optional<std::string>(*inm) : std::nullopt;
    std::optional<std::string> ifModifiedSince =
        ims ? std::optional<std::string>(*ims) : std::nullopt;
    // The plug-in's text has no absolute URLs in it: its answer needs no base.
    std::string base = format == feeds::FeedFormat::plugin ? std::string() : baseUrlFor(request);
    cache_.get(name,
               [this, name, format, base = std::move(base), gzip = wantsGzip(request),
                ifNoneMatch = std::move(ifNoneMatch), ifModifiedSince = std::move(ifModifiedSince),
                respond = std::move(respond)](Lookup lookup) {
                   respond(channelAnswer(name, format, lookup, base, gzip,
                                         ifNoneMatch ? &*ifNoneMatch : nullptr,
                                         ifModifiedSince ? &*ifModifiedSince : nullptr));
               });
}

HttpResponse HttpService::channelAnswer(const std::string& name, feeds::FeedFormat format,
                                        const Lookup& lookup, const std::string& baseUrl, bool gzip,
                                        const std::string* ifNoneMatch,
                                        const std::string* ifModifiedSince) const {
    const TimePoint now = sources_.now();
    const long long remaining = secondsUntil(lookup.nextFetch, now);
    if (!lookup.feed) {
        HttpResponse response;
        const std::optional<PluginProblem> problem =
            lookup.answer == CacheAnswer::stopping || lookup.refreshing ? std::nullopt
                                                                        : pluginProblem();
        if (problem) {
            return unavailableAnswer(*problem, "channel " + text::printable(name));
        }
        if (lookup.answer == CacheAnswer::stopping) {
            response = HttpResponse::text(503, "The gateway is shutting down; channel " +
                                                   text::printable(name) + " has no feed yet.\n");
            response.set("Retry-After", "10");
        } else if (lookup.answer == CacheAnswer::timedOut) {
            response = HttpResponse::text(
                504, "Can't fetch channel " + text::printable(name) + ": no answer within " +
                         secondsText(cache_.options().fetchTimeout) + "; the fetch goes on.\n");
            response.set("Retry-After", std::to_string(std::max<long long>(remaining, 10)));
        } else if (lookup.answer == CacheAnswer::unknownChannel) {
            response = HttpResponse::text(404, lookup.error + "\n");
        } else {
            const std::string hint = lookup.hint.empty() ? "" : "hint: " + lookup.hint + "\n";
            response = HttpResponse::text(502, lookup.error + "\n" + hint);
            // When the next fetch is allowed: the backoff of a failing channel.
            response.set("Retry-After", std::to_string(remaining));
        }
        response.set("Cache-Control", "no-store");
        return response;
    }
    const Feed& feed = *lookup.feed;
    std::shared_ptr<const feeds::PreparedBody> form;
    if (format == feeds::FeedFormat::plugin) {
        form = feed.pluginForm();
    } else if (!feed.conversionError().empty()) {
        HttpResponse response = HttpResponse::text(
            502, feed.conversionError() + "\nThe plug-in's own text is served at /channels/" +
                     text::percentEncode(name) + ".plugin.\n");
        response.set("Retry-After", std::to_string(remaining));
        response.set("Cache-Control", "no-store");
        return response;
    } else {
        try {
            form = feed.forms(baseUrl)->sharedForm(format);
        } catch (const std::exception& e) {
            HttpResponse response = HttpResponse::text(
                500, "Can't write channel " + text::printable(name) + " as " +
                         std::string(feeds::formatName(format)) + ": " + e.what() + "\n");
            response.set("Cache-Control", "no-store");
            return response;
        }
    }
    const std::string& etag = gzip ? form->gzipEtag : form->etag;
    HttpResponse response;
    response.set("Content-Type", form->contentType);
    response.set("ETag", etag);
    response.set("Last-Modified", feed.lastModifiedHttp());
    response.set("Cache-Control", "max-age=" + std::to_string(remaining));
    response.set("Vary", "Accept-Encoding");
    if (gzip) {
        response.set("Content-Encoding", "gzip");
    }
    if (lookup.stale()) {
        response.set("Warning", "111 dovetrail \"Revalidation failed (status " +
                                    std::to_string(lookup.status) +
                                    "): " + headerSafe(lookup.error) + "\"");
    }
    bool notModified = false;
    if (ifNoneMatch != nullptr) {
        notModified = etagMatches(*ifNoneMatch, etag);
    } else if (ifModifiedSince != nullptr) {
        const auto since = text::parseHttpDate(*ifModifiedSince);
        notModified = since.has_value() &&
                      std::chrono::floor<std::chrono::seconds>(feed.lastModified()) <= *since;
    }
    if (notModified) {
        response.status = 304;
        return response;
    }
    // The answer shares the prepared bytes; the aliasing pointer keeps the form alive.
    response.body = preparedBody(form, gzip);
    return response;
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
        // One list per base: the bases are bounded (see baseUrlFor).
        opml_[baseUrl] = list;
    }
    HttpResponse response = preparedAnswer(request, list->body);
    // It changes with the INI file only: readers and caches ask again, and get 304.
    response.set("Cache-Control", "no-cache");
    return response;
}

void HttpService::answered(const HttpRequest& request, const HttpResponse& response,
                           std::size_t bytesSent, std::chrono::microseconds elapsed) {
    std::string line;
    line.reserve(128 + request.target.size());
    line += logTime(std::chrono::system_clock::now());
    line += ' ';
    line += request.peer.empty() ? "-" : request.peer;
    line += " \"";
    if (request.method.empty()) {
        line += '-';
    } else {
        line += text::printable(request.method);
        line += ' ';
        line += text::printable(request.target);
        line += ' ';
        line += request.version();
    }
    line += "\" ";
    line += std::to_string(response.status);
    line += ' ';
    line += std::to_string(bytesSent);
    char ms[32];
    std::snprintf(ms, sizeof ms, " %.1fms", static_cast<double>(elapsed.count()) / 1000.0);
    line += ms;
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
