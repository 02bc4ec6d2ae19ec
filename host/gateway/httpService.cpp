#include "httpService.h"

#include <httplib.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

namespace host {

namespace {

constexpr const char* kRssType = "application/rss+xml; charset=ISO-8859-1";
constexpr const char* kHtmlType = "text/html; charset=ISO-8859-1";
constexpr const char* kTextType = "text/plain; charset=ISO-8859-1";

// Start of the request being handled on this worker thread, for the access log's duration.
thread_local std::optional<std::chrono::steady_clock::time_point> requestStart;

long long secondsUntil(TimePoint later, TimePoint now) {
    if (later <= now) {
        return 0;
    }
    // Round up: a reader must not come back before the fetch is allowed.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(later - now).count();
    return (ms + 999) / 1000;
}

// Makes a text safe inside a quoted header value: no control bytes, no quote or backslash.
std::string headerSafe(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += ' ';
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out;
}

// Percent-encodes everything but unreserved characters, for a channel name inside a link.
std::string pathSegment(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            out += escaped;
        }
    }
    return out;
}

bool wantsJson(const httplib::Request& req) {
    if (req.get_param_value("format") == "json") {
        return true;
    }
    const std::string accept = req.get_header_value("Accept");
    const std::size_t json = accept.find("application/json");
    if (json == std::string::npos) {
        return false;
    }
    // A browser lists text/html first; prefer HTML when it comes before JSON.
    const std::size_t html = accept.find("text/html");
    return html == std::string::npos || json < html;
}

std::string outcomeText(const ChannelStatus& s) {
    if (s.fetching && !s.fetched) {
        return "fetching";
    }
    if (!s.fetched) {
        return "never fetched";
    }
    return s.lastStatus == 0 ? "ok" : "failed";
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string httpDate(TimePoint time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buffer;
}

std::optional<TimePoint> parseHttpDate(const std::string& text) {
    static const char* const formats[] = {
        "%a, %d %b %Y %H:%M:%S GMT",  // IMF-fixdate
        "%A, %d-%b-%y %H:%M:%S GMT",  // RFC 850
        "%a %b %d %H:%M:%S %Y",       // asctime
    };
    for (const char* format : formats) {
        std::tm tm{};
        const char* end = strptime(text.c_str(), format, &tm);
        if (end != nullptr && *end == '\0') {
            const std::time_t t = timegm(&tm);
            if (t != static_cast<std::time_t>(-1)) {
                return std::chrono::system_clock::from_time_t(t);
            }
        }
    }
    return std::nullopt;
}

std::string isoTime(TimePoint time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

bool etagMatches(const std::string& ifNoneMatch, const std::string& etag) {
    const auto opaque = [](std::string tag) {
        if (tag.rfind("W/", 0) == 0) {
            tag.erase(0, 2);
        }
        return tag;
    };
    const std::string wanted = opaque(etag);
    std::size_t pos = 0;
    while (pos < ifNoneMatch.size()) {
        std::size_t comma = ifNoneMatch.find(',', pos);
        if (comma == std::string::npos) {
            comma = ifNoneMatch.size();
        }
        std::string tag = ifNoneMatch.substr(pos, comma - pos);
        const std::size_t b = tag.find_first_not_of(" \t");
        const std::size_t e = tag.find_last_not_of(" \t");
        tag = b == std::string::npos ? std::string() : tag.substr(b, e - b + 1);
        if (tag == "*" || (!tag.empty() && opaque(tag) == wanted)) {
            return true;
        }
        pos = comma + 1;
    }
    return false;
}

std::string jsonString(const std::string& latin1) {
    std::string out = "\"";
    for (const char c : latin1) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else if (u >= 0x80) {
                    out += static_cast<char>(0xC0 | (u >> 6));
                    out += static_cast<char>(0x80 | (u & 0x3F));
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

struct HttpService::Row {
    std::string title;
    bool configured = false;
    ChannelStatus status;
};

HttpService::HttpService(ChannelCache& cache, ServiceSources sources)
    : cache_(cache), sources_(std::move(sources)) {
    if (!sources_.log) {
        sources_.log = [](const std::string& line) { std::cerr << line << std::endl; };
    }
}

void HttpService::writeLog(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex_);
    sources_.log(line);
}

std::vector<HttpService::Row> HttpService::rows() const {
    std::vector<Row> rows;
    std::vector<ChannelEntry> configured;
    try {
        configured = sources_.channels ? sources_.channels() : std::vector<ChannelEntry>{};
    } catch (const std::exception&) {
        // An unreadable INI file still leaves the channels asked for so far to show.
    }
    std::vector<ChannelStatus> seen = cache_.status();
    for (const ChannelEntry& channel : configured) {
        Row row;
        row.title = channel.title;
        row.configured = true;
        row.status.name = channel.name;
        for (auto it = seen.begin(); it != seen.end(); ++it) {
            if (ChannelCache::key(it->name) == ChannelCache::key(channel.name)) {
                row.status = *it;
                row.status.name = channel.name;
                seen.erase(it);
                break;
            }
        }
        rows.push_back(std::move(row));
    }
    for (ChannelStatus& status : seen) {
        Row row;
        row.status = std::move(status);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string HttpService::statusJson() const {
    const TimePoint now = sources_.now();
    std::ostringstream out;
    const Intervals& iv = sources_.intervals;
    out << "{\n  \"time\": " << jsonString(isoTime(now))
        << ",\n  \"intervals\": {\"lounge\": " << iv.lounge
        << ", \"messageBoards\": " << iv.messageBoards << ", \"articles\": " << iv.articles
        << "},\n  \"minFetchIntervalSeconds\": " << cache_.minInterval().count()
        << ",\n  \"channels\": [";
    bool first = true;
    for (const Row& row : rows()) {
        const ChannelStatus& s = row.status;
        out << (first ? "\n" : ",\n") << "    {\"name\": " << jsonString(s.name);
        first = false;
        out << ", \"title\": " << (row.configured ? jsonString(row.title) : "null")
            << ", \"configured\": " << (row.configured ? "true" : "false")
            << ", \"outcome\": " << jsonString(outcomeText(s))
            << ", \"fetching\": " << (s.fetching ? "true" : "false");
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
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"ISO-8859-1\"><title>Dovetrail status"
           "</title>\n<style>body{font-family:sans-serif}table{border-collapse:collapse}"
           "td,th{border:1px solid #aaa;padding:2px 6px;text-align:left}.failed{color:#a00}"
           "</style></head>\n<body>\n<h1>Dovetrail status</h1>\n<p>Time: "
        << isoTime(now) << ". Minimum update intervals: lounge " << iv.lounge / 60
        << " minutes, message boards " << iv.messageBoards / 60 << " minutes, articles "
        << iv.articles / 60 << " minutes. Each channel is fetched at most once every "
        << cache_.minInterval().count()
        << " seconds.</p>\n<table>\n<tr><th>Channel</th>"
           "<th>Title</th><th>Outcome</th><th>Last fetch</th><th>Duration</th><th>Bytes</th>"
           "<th>Next fetch</th><th>Last success</th><th>Fetches</th><th>Failures</th></tr>\n";
    for (const Row& row : rows()) {
        const ChannelStatus& s = row.status;
        const std::string outcome = outcomeText(s);
        out << "<tr class=\"" << (outcome == "failed" ? "failed" : "ok") << "\"><td>";
        if (row.configured) {
            out << "<a href=\"/channels/" << htmlEscape(pathSegment(s.name)) << ".rss\">"
                << htmlEscape(s.name) << "</a>";
        } else {
            out << htmlEscape(s.name);
        }
        out << "</td><td>" << htmlEscape(row.configured ? row.title : "(not configured)")
            << "</td><td>" << htmlEscape(outcome);
        if (s.fetched && s.lastStatus != 0) {
            out << " (status " << s.lastStatus << "): " << htmlEscape(s.lastError);
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

void HttpService::install(httplib::Server& server) {
    server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        requestStart = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        const CallResult page = sources_.mainPage();
        res.set_header("Cache-Control", "no-cache");
        if (page.ok()) {
            res.set_content(page.text, kHtmlType);
        } else {
            res.status = 500;
            res.set_content("Can't render the main page (status " + std::to_string(page.status) +
                                "): " + page.error + "\n",
                            kTextType);
        }
    });

    server.Get(
        R"(/channels/(.+)\.rss)", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string name = req.matches[1];
            const Lookup lookup = cache_.get(name);
            const TimePoint now = sources_.now();
            const long long remaining = secondsUntil(lookup.nextFetch, now);
            if (!lookup.feed) {
                res.status = lookup.status == kStatusUnknownChannel ? 404 : 502;
                res.set_header("Cache-Control", "no-store");
                if (res.status == 502) {
                    res.set_header("Retry-After", std::to_string(remaining));
                }
                res.set_content(lookup.error + "\n", kTextType);
                return;
            }
            const Feed& feed = *lookup.feed;
            res.set_header("ETag", feed.etag);
            res.set_header("Last-Modified", httpDate(feed.lastModified));
            res.set_header("Cache-Control", "max-age=" + std::to_string(remaining));
            if (lookup.stale()) {
                res.set_header("Warning", "111 dovetrail \"Revalidation failed (status " +
                                              std::to_string(lookup.status) +
                                              "): " + headerSafe(lookup.error) + "\"");
            }
            bool notModified = false;
            if (req.has_header("If-None-Match")) {
                notModified = etagMatches(req.get_header_value("If-None-Match"), feed.etag);
            } else if (req.has_header("If-Modified-Since")) {
                const auto since = parseHttpDate(req.get_header_value("If-Modified-Since"));
                notModified = since.has_value() &&
                              std::chrono::floor<std::chrono::seconds>(feed.lastModified) <= *since;
            }
            if (notModified) {
                res.status = 304;
                return;
            }
            res.set_content(feed.text, kRssType);
        });

    server.Get("/status", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_header("Vary", "Accept");
        if (wantsJson(req)) {
            res.set_content(statusJson(), "application/json");
        } else {
            res.set_content(statusHtml(), kHtmlType);
        }
    });

    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) {
            res.set_content("Not found: " + req.path +
                                "\nChannels are served at /channels/NAME.rss; see /status.\n",
                            kTextType);
        }
    });

    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        std::ostringstream line;
        line << isoTime(std::chrono::system_clock::now()) << ' ' << req.remote_addr << " \""
             << printable(req.method) << ' '
             << printable(req.target.empty() ? req.path : req.target) << ' '
             << printable(req.version) << "\" " << res.status << ' ' << res.body.size();
        if (requestStart) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - *requestStart)
                                .count();
            char ms[32];
            std::snprintf(ms, sizeof ms, " %.1fms", static_cast<double>(us) / 1000.0);
            line << ms;
            requestStart.reset();
        }
        writeLog(line.str());
    });
}

}  // namespace host
