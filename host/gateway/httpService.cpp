#include "httpService.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "httpText.h"

namespace host {

namespace {

constexpr const char* kRssType = "application/rss+xml; charset=ISO-8859-1";
constexpr const char* kHtmlType = "text/html; charset=ISO-8859-1";
constexpr const char* kChannelPrefix = "/channels/";
constexpr const char* kChannelSuffix = ".rss";

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

std::string outcomeText(const ChannelStatus& s) {
    if (s.fetching && !s.fetched) {
        return s.overdue ? "fetching, overdue" : "fetching";
    }
    if (!s.fetched) {
        return "never fetched";
    }
    return s.lastStatus == 0 ? "ok" : "failed";
}

// The time of day as the access log shows it, formatted once per second and thread.
const std::string& logTime(std::chrono::system_clock::time_point now) {
    thread_local std::time_t shownSecond = -1;
    thread_local std::string shown;
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != shownSecond) {
        shownSecond = second;
        shown = isoTime(now);
    }
    return shown;
}

}  // namespace

void writeErrorLine(const std::string& line) {
    std::string out = line;
    out += '\n';
    // Standard error is unbuffered: one call, one write, so concurrent lines do not mix.
    std::fwrite(out.data(), 1, out.size(), stderr);
}

struct HttpService::Row {
    std::string title;
    ChannelStatus status;
};

HttpService::HttpService(ChannelCache& cache, ServiceSources sources)
    : cache_(cache), sources_(std::move(sources)) {
    if (!sources_.log) {
        sources_.log = writeErrorLine;
    }
    if (!sources_.channels) {
        sources_.channels = [] { return std::make_shared<const ChannelSet>(); };
    }
}

void HttpService::handle(const HttpRequest& request, Responder respond) {
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse response =
            HttpResponse::text(405, "Method not allowed: " + printable(request.method) +
                                        "\nThis server answers GET and HEAD only.\n");
        response.set("Allow", "GET, HEAD");
        respond(std::move(response));
        return;
    }
    const std::string& path = request.path;
    if (path == "/") {
        const CallResult page = sources_.mainPage();
        HttpResponse response;
        if (page.ok()) {
            response.set("Content-Type", kHtmlType);
            response.body = Body(page.text);
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
    const std::string_view prefix = kChannelPrefix;
    const std::string_view suffix = kChannelSuffix;
    if (path.size() > prefix.size() + suffix.size() &&
        path.compare(0, prefix.size(), prefix) == 0 &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const std::optional<std::string> name = percentDecode(std::string_view(path).substr(
            prefix.size(), path.size() - prefix.size() - suffix.size()));
        if (name) {
            serveChannel(request, *name, std::move(respond));
            return;
        }
    }
    HttpResponse response =
        HttpResponse::text(404, "Not found: " + printable(path) +
                                    "\nChannels are served at /channels/NAME.rss; see /status.\n");
    respond(std::move(response));
}

void HttpService::serveChannel(const HttpRequest& request, const std::string& name,
                               Responder respond) {
    const std::shared_ptr<const ChannelSet> channels = sources_.channels();
    // Only a configured name, byte for byte, reaches the cache and the plug-in.
    if (hasControlByte(name) || channels->find(name) == nullptr) {
        HttpResponse response =
            HttpResponse::text(404, "Unknown channel: " + printable(name) + "\n");
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
    cache_.get(name, [this, name, ifNoneMatch = std::move(ifNoneMatch),
                      ifModifiedSince = std::move(ifModifiedSince),
                      respond = std::move(respond)](Lookup lookup) {
        respond(channelAnswer(name, lookup, ifNoneMatch ? &*ifNoneMatch : nullptr,
                              ifModifiedSince ? &*ifModifiedSince : nullptr));
    });
}

HttpResponse HttpService::channelAnswer(const std::string& name, const Lookup& lookup,
                                        const std::string* ifNoneMatch,
                                        const std::string* ifModifiedSince) const {
    const TimePoint now = sources_.now();
    const long long remaining = secondsUntil(lookup.nextFetch, now);
    if (!lookup.feed) {
        HttpResponse response;
        if (lookup.stopping) {
            response = HttpResponse::text(503, "The gateway is shutting down; channel " +
                                                   printable(name) + " has no feed yet.\n");
            response.set("Retry-After", "10");
        } else if (lookup.timedOut) {
            response = HttpResponse::text(
                504, "Can't fetch channel " + printable(name) + ": no answer within " +
                         secondsText(cache_.options().fetchTimeout) + "; the fetch goes on.\n");
            response.set("Retry-After", std::to_string(std::max<long long>(remaining, 10)));
        } else if (lookup.status == kUnknownChannelStatus) {
            response = HttpResponse::text(404, lookup.error + "\n");
        } else {
            response = HttpResponse::text(502, lookup.error + "\n");
            response.set("Retry-After", std::to_string(remaining));
        }
        response.set("Cache-Control", "no-store");
        return response;
    }
    const Feed& feed = *lookup.feed;
    HttpResponse response;
    response.set("Content-Type", kRssType);
    response.set("ETag", feed.etag);
    response.set("Last-Modified", feed.lastModifiedHttp);
    response.set("Cache-Control", "max-age=" + std::to_string(remaining));
    if (lookup.stale()) {
        response.set("Warning", "111 dovetrail \"Revalidation failed (status " +
                                    std::to_string(lookup.status) +
                                    "): " + headerSafe(lookup.error) + "\"");
    }
    bool notModified = false;
    if (ifNoneMatch != nullptr) {
        notModified = etagMatches(*ifNoneMatch, feed.etag);
    } else if (ifModifiedSince != nullptr) {
        const auto since = parseHttpDate(*ifModifiedSince);
        notModified = since.has_value() &&
                      std::chrono::floor<std::chrono::seconds>(feed.lastModified) <= *since;
    }
    if (notModified) {
        response.status = 304;
        return response;
    }
    // The answer shares the cached text: the aliasing pointer keeps the whole feed alive.
    response.body =
        Body(std::shared_ptr<const std::string>(lookup.feed, &feed.text), 0, feed.text.size());
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
        line += printable(request.method);
        line += ' ';
        line += printable(request.target);
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

std::vector<HttpService::Row> HttpService::rows() const {
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    const std::vector<ChannelStatus> seen = cache_.status();
    std::vector<Row> rows;
    for (const ChannelEntry& channel : configured->channels) {
        Row row;
        row.title = channel.title;
        row.status.name = channel.name;
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

std::string HttpService::statusJson() const {
    const TimePoint now = sources_.now();
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    std::ostringstream out;
    const Intervals& iv = sources_.intervals;
    const CacheOptions& options = cache_.options();
    out << "{\n  \"time\": " << jsonString(isoTime(now))
        << ",\n  \"intervals\": {\"lounge\": " << iv.lounge
        << ", \"messageBoards\": " << iv.messageBoards << ", \"articles\": " << iv.articles
        << "},\n  \"minFetchIntervalSeconds\": " << cache_.minInterval().count()
        << ",\n  \"fetchTimeoutSeconds\": " << options.fetchTimeout.count() / 1000
        << ",\n  \"maxFeedBytes\": " << options.maxFeedBytes << ",\n  \"configurationError\": "
        << (configured->readError.empty() ? "null" : jsonString(configured->readError))
        << ",\n  \"channels\": [";
    bool first = true;
    for (const Row& row : rows()) {
        const ChannelStatus& s = row.status;
        out << (first ? "\n" : ",\n") << "    {\"name\": " << jsonString(s.name);
        first = false;
        out << ", \"title\": " << jsonString(row.title) << ", \"configured\": true"
            << ", \"outcome\": " << jsonString(outcomeText(s))
            << ", \"fetching\": " << (s.fetching ? "true" : "false")
            << ", \"overdue\": " << (s.overdue ? "true" : "false");
        if (s.fetched) {
            out << ", \"lastFetch\": " << jsonString(isoTime(s.lastFetch))
                << ", \"status\": " << s.lastStatus
                << ", \"error\": " << (s.lastStatus == 0 ? "null" : jsonString(s.lastError))
                << ", \"durationMs\": " << s.lastDuration.count() << ", \"bytes\": " << s.lastBytes
                << ", \"nextFetch\": " << jsonString(isoTime(s.nextFetch)) << ", \"lastSuccess\": "
                << (s.lastSuccess ? jsonString(isoTime(*s.lastSuccess)) : "null");
        } else {
            out << ", \"lastFetch\": null, \"status\": null, \"error\": null, \"durationMs\": null"
                   ", \"bytes\": null, \"nextFetch\": null, \"lastSuccess\": null";
        }
        out << ", \"fetches\": " << s.fetches << ", \"failures\": " << s.failures << "}";
    }
    out << (first ? "]\n}\n" : "\n  ]\n}\n");
    return out.str();
}

std::string HttpService::statusHtml() const {
    const TimePoint now = sources_.now();
    const Intervals& iv = sources_.intervals;
    const std::shared_ptr<const ChannelSet> configured = sources_.channels();
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"ISO-8859-1\"><title>Dovetrail status"
           "</title>\n<style>body{font-family:sans-serif}table{border-collapse:collapse}"
           "td,th{border:1px solid #aaa;padding:2px 6px;text-align:left}.failed{color:#a00}"
           "</style></head>\n<body>\n<h1>Dovetrail status</h1>\n<p>Time: "
        << isoTime(now) << ". Minimum update intervals: lounge " << iv.lounge / 60
        << " minutes, message boards " << iv.messageBoards / 60 << " minutes, articles "
        << iv.articles / 60 << " minutes. Each channel is fetched at most once every "
        << cache_.minInterval().count() << " seconds; a fetch has "
        << secondsText(cache_.options().fetchTimeout) << "; feeds above "
        << cache_.options().maxFeedBytes << " bytes are not kept.</p>\n";
    if (!configured->readError.empty()) {
        out << "<p class=\"failed\">" << htmlEscape(configured->readError)
            << "; the channels read before are served.</p>\n";
    }
    out << "<table>\n<tr><th>Channel</th>"
           "<th>Title</th><th>Outcome</th><th>Last fetch</th><th>Duration</th><th>Bytes</th>"
           "<th>Next fetch</th><th>Last success</th><th>Fetches</th><th>Failures</th></tr>\n";
    for (const Row& row : rows()) {
        const ChannelStatus& s = row.status;
        const std::string outcome = outcomeText(s);
        out << "<tr class=\"" << (outcome == "failed" ? "failed" : "ok") << "\"><td>"
            << "<a href=\"/channels/" << htmlEscape(pathSegment(s.name)) << ".rss\">"
            << htmlEscape(s.name) << "</a></td><td>" << htmlEscape(row.title) << "</td><td>"
            << htmlEscape(outcome);
        if (s.fetched && s.lastStatus != 0) {
            out << " (status " << s.lastStatus << "): " << htmlEscape(s.lastError);
        }
        if (s.fetched && s.fetching) {
            out << "; fetching again" << (s.overdue ? ", overdue" : "");
        }
        out << "</td>";
        if (s.fetched) {
            out << "<td>" << isoTime(s.lastFetch) << "</td><td>" << s.lastDuration.count()
                << " ms</td><td>" << s.lastBytes << "</td><td>" << isoTime(s.nextFetch)
                << "</td><td>" << (s.lastSuccess ? isoTime(*s.lastSuccess) : "never") << "</td>";
        } else {
            out << "<td>never</td><td></td><td></td><td>now</td><td>never</td>";
        }
        out << "<td>" << s.fetches << "</td><td>" << s.failures << "</td></tr>\n";
    }
    out << "</table>\n</body></html>\n";
    return out.str();
}

}  // namespace host
