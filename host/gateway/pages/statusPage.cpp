#include "statusPage.h"

#include <sstream>

#include "feedFormats.h"
#include "textDates.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace host {

namespace {

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

// Texts from the INI file or the plug-in, as UTF-8 for the page or a JSON string.
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

std::string statusJson(const PageInput& page, const StatusSettings& settings) {
    std::ostringstream out;
    out << "{\n  \"time\": " << json(text::isoDate(page.now))
        << ",\n  \"intervals\": {\"lounge\": " << page.intervals.lounge
        << ", \"messageBoards\": " << page.intervals.messageBoards
        << ", \"articles\": " << page.intervals.articles
        << "},\n  \"minFetchIntervalSeconds\": " << settings.minInterval.count()
        << ",\n  \"fetchTimeoutSeconds\": " << settings.fetchTimeout.count() / 1000
        << ",\n  \"maxFeedBytes\": " << settings.maxFeedBytes << ",\n  \"stateFile\": "
        << (settings.statePath.empty() ? "null" : json(settings.statePath))
        << ",\n  \"configurationError\": "
        << (page.configured->readError.empty() ? "null" : json(page.configured->readError))
        << ",\n  \"plugin\": ";
    if (page.problem) {
        out << "{\"ready\": false, \"error\": " << json(page.problem->message)
            << ", \"hint\": " << (page.problem->hint.empty() ? "null" : json(page.problem->hint))
            << ", \"failures\": " << page.problem->failures
            << ", \"nextAttempt\": " << json(text::isoDate(page.problem->nextAttempt)) << "}";
    } else {
        out << "{\"ready\": true}";
    }
    out << ",\n  \"channels\": [";
    bool first = true;
    for (const ChannelRow& row : page.rows) {
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

std::string statusHtml(const PageInput& page, const StatusSettings& settings) {
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>Dovetrail status</title>\n"
           "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
           "td,th{border:1px solid #aaa;padding:2px 6px;text-align:left}.failed{color:#a00}"
           "</style></head>\n<body>\n<h1>Dovetrail status</h1>\n<p>Time: "
        << text::isoDate(page.now) << ". Minimum update intervals: lounge "
        << page.intervals.lounge / 60 << " minutes, message boards "
        << page.intervals.messageBoards / 60 << " minutes, articles "
        << page.intervals.articles / 60
        << " minutes. Each channel is fetched at most once in its interval (a failed one is "
           "tried again after 30 seconds, doubling up to the longest interval); a fetch has "
        << secondsText(settings.fetchTimeout) << "; feeds above " << settings.maxFeedBytes
        << " bytes are not kept. State: "
        << (settings.statePath.empty() ? std::string("in memory, lost when the gateway stops")
                                       : html(settings.statePath))
        << ".</p>\n";
    if (!page.configured->readError.empty()) {
        out << "<p class=\"failed\">" << html(page.configured->readError)
            << "; the channels read before are served.</p>\n";
    }
    if (page.problem) {
        out << "<p class=\"failed\">" << html(page.problem->message);
        if (!page.problem->hint.empty()) {
            out << "<br>hint: " << html(page.problem->hint);
        }
        out << "<br>Tried " << page.problem->failures
            << (page.problem->failures == 1 ? " time" : " times") << "; next attempt "
            << text::isoDate(page.problem->nextAttempt)
            << ". Channels with a feed are served meanwhile.</p>\n";
    }
    out << "<table>\n<tr><th>Channel</th>"
           "<th>Title</th><th>Outcome</th><th>Interval</th><th>Last fetch</th><th>Duration</th>"
           "<th>Bytes</th><th>Next fetch</th><th>Last success</th><th>Fetches</th>"
           "<th>Failures</th></tr>\n";
    for (const ChannelRow& row : page.rows) {
        const ChannelStatus& s = row.status;
        const std::string outcome = outcomeText(s);
        out << "<tr class=\"" << (outcome == "failed" ? "failed" : "ok") << "\"><td>"
            << "<a href=\"/channels/" << htmlEscape(text::percentEncode(s.name)) << ".rss"
            << htmlEscape(page.linkQuery) << "\">" << html(s.name) << "</a></td><td>"
            << html(row.channel->title) << "</td><td>" << htmlEscape(outcome);
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
