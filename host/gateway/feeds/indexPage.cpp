#include "indexPage.h"

#include "feedFormats.h"
#include "textDates.h"
#include "textEncoding.h"

namespace host::feeds {

namespace {

std::string html(std::string_view utf8) {
    std::string out = xmlEscape(utf8, true);
    return out;
}

constexpr const char* kStyle = R"(<style>
  :root { --ink: #1f2a37; --muted: #5b6675; --paper: #f6f7f9; --card: #fff; --line: #dfe3e8;
          --accent: #1d6f5f; --bad: #a4332b; --warn: #8a5a00; --code: #eef1f4; }
  @media (prefers-color-scheme: dark) {
    :root { --ink: #e4e8ec; --muted: #a3adb8; --paper: #14181d; --card: #1d232a; --line: #2e3741;
            --accent: #5cc2a8; --bad: #f08a80; --warn: #e0b050; --code: #262e37; }
  }
  * { box-sizing: border-box; }
  body { margin: 0; background: var(--paper); color: var(--ink);
         font: 16px/1.5 system-ui, "Segoe UI", "Helvetica Neue", Arial, sans-serif; }
  header, main, footer { max-width: 960px; margin: 0 auto; padding: 0 16px; }
  header { padding-top: 24px; }
  h1 { margin: 0 0 4px; font-size: 28px; }
  h2 { margin: 0 0 4px; font-size: 20px; overflow-wrap: anywhere; }
  p { margin: 0 0 10px; overflow-wrap: anywhere; }
  a { color: var(--accent); }
  .muted { color: var(--muted); }
  .card { background: var(--card); border: 1px solid var(--line); border-radius: 8px;
          padding: 16px; margin: 16px 0; }
  .intervals { display: flex; flex-wrap: wrap; gap: 8px 24px; margin: 0; padding: 0;
               list-style: none; }
  .intervals b { font-size: 20px; color: var(--accent); }
  .channels { display: grid; grid-template-columns: repeat(auto-fill, minmax(280px, 1fr));
              gap: 16px; }
  .channels .card { margin: 0; min-width: 0; }
  .name { font-family: ui-monospace, "DejaVu Sans Mono", Consolas, monospace; font-size: 14px; }
  dl { display: grid; grid-template-columns: max-content minmax(0, 1fr); gap: 2px 12px;
       margin: 10px 0; font-size: 15px; }
  dt { color: var(--muted); }
  dd { margin: 0; overflow-wrap: anywhere; }
  .ok { color: var(--accent); }
  .stale { color: var(--warn); }
  .failed { color: var(--bad); }
  .subscribe { display: flex; flex-wrap: wrap; gap: 8px; margin: 8px 0 0; padding: 0;
               list-style: none; }
  .subscribe a { display: inline-block; padding: 4px 10px; border: 1px solid var(--accent);
                 border-radius: 999px; text-decoration: none; font-size: 14px; }
  .url { overflow-wrap: anywhere; font-family: ui-monospace, "DejaVu Sans Mono", Consolas,
         monospace; font-size: 13px; background: var(--code); border-radius: 4px;
         padding: 1px 4px; }
  footer { padding-bottom: 32px; font-size: 14px; }
</style>
)";

std::string outcomeHtml(const IndexChannel& channel) {
    if (channel.fetching) {
        return "<span class=\"muted\">Being fetched now</span>";
    }
    if (!channel.lastFetch) {
        return "<span class=\"muted\">Not fetched yet: the first reader's request fetches it"
               "</span>";
    }
    if (channel.status == 0 && !channel.conversionError.empty()) {
        return "<span class=\"stale\">Fetched, but only the plug-in text can be served: " +
               html(channel.conversionError) + "</span>";
    }
    if (channel.status == 0) {
        return "<span class=\"ok\">OK</span>";
    }
    const std::string failure =
        "(status " + std::to_string(channel.status) + "): " + html(channel.error);
    const std::string hint = channel.hint.empty() ? "" : "<br>hint: " + html(channel.hint);
    if (channel.hasFeed) {
        return "<span class=\"stale\">Refetch failed " + failure +
               "; the last good feed is served</span>" + hint;
    }
    return "<span class=\"failed\">Failed " + failure + "</span>" + hint;
}

std::string timeHtml(TimePoint time, TimePoint now) {
    using namespace std::chrono;
    std::string date = text::isoDate(time);
    std::string shown = date.substr(0, 10) + " " + date.substr(11, 8) + " UTC";
    const auto left = duration_cast<seconds>(time - now);
    if (left.count() >= 60) {
        const long long minutes = (left.count() + 30) / 60;  // to the nearest minute
        shown += " (in " + describeInterval(std::chrono::minutes(minutes)) + ")";
    } else if (left.count() > 0) {
        shown += " (in " + describeInterval(left) + ")";
    } else if (left.count() > -5) {
        shown += " (now)";
    }
    return "<time datetime=\"" + date + "\">" + shown + "</time>";
}

}  // namespace

std::string describeInterval(std::chrono::seconds interval) {
    const long long seconds = interval.count();
    if (seconds % 60 == 0 && seconds != 0) {
        const long long minutes = seconds / 60;
        return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
    }
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string renderIndexPage(const IndexPageInput& input) {
    const std::string& base = input.baseUrl;
    const std::string& query = input.linkQuery;
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Dovetrail channels</title>\n";
    // Feed readers given this page's address find every channel's feeds here.
    for (const IndexChannel& channel : input.channels) {
        const std::string title = html(channel.title);
        out += "<link rel=\"alternate\" type=\"application/rss+xml\" title=\"" + title +
               " (RSS)\" href=\"" + html(feedUrl(base, channel.name, FeedFormat::rss) + query) +
               "\">\n";
        out += "<link rel=\"alternate\" type=\"application/atom+xml\" title=\"" + title +
               " (Atom)\" href=\"" + html(feedUrl(base, channel.name, FeedFormat::atom) + query) +
               "\">\n";
        out += "<link rel=\"alternate\" type=\"application/feed+json\" title=\"" + title +
               " (JSON Feed)\" href=\"" +
               html(feedUrl(base, channel.name, FeedFormat::json) + query) + "\">\n";
    }
    out += kStyle;
    out +=
        "</head>\n<body>\n<header>\n<h1>Dovetrail channels</h1>\n"
        "<p class=\"muted\">The lounge, message boards and articles of the developer "
        "community, as feeds for any feed reader. This gateway asks the community's web "
        "service for a channel no more often than the service allows, however often readers "
        "ask.</p>\n</header>\n<main>\n";
    if (!input.problem.empty()) {
        out +=
            "<section class=\"card\">\n<h2>The plug-in is not running</h2>\n<p><span "
            "class=\"failed\">" +
            html(input.problem) + "</span></p>\n";
        if (!input.problemHint.empty()) {
            out += "<p>hint: " + html(input.problemHint) + "</p>\n";
        }
        out += "<p class=\"muted\">Next attempt " + timeHtml(input.nextAttempt, input.now) +
               ". Channels with a feed are served meanwhile; the others answer 503.</p>\n"
               "</section>\n";
    }

    out +=
        "<section class=\"card\">\n<h2>Subscribe</h2>\n<p>Add a channel's address below to "
        "your feed reader, or import every channel at once from the <a href=\"" +
        html(opmlUrl(base) + query) + "\">OPML list</a> <span class=\"url\">" +
        html(opmlUrl(base) + query) +
        "</span>.</p>\n<p class=\"muted\">Each channel comes as RSS 2.0, Atom 1.0 and JSON "
        "Feed 1.1, and as the plug-in's own text for hosts that read it. The <a href=\"" +
        html(base + "/main-page" + query) + "\">plug-in's main page</a> and the <a href=\"" +
        html(base + "/status" + query) + "\">status page</a> tell more.</p>\n</section>\n";

    out +=
        "<section class=\"card\">\n<h2>Minimum update intervals</h2>\n<p class=\"muted\">As "
        "the web service reported them. Each channel is fetched again no sooner than its "
        "kind's interval; one whose fetch failed is tried again after 30 seconds, then twice as "
        "long each time, up to the longest interval.</p>\n<ul class=\"intervals\">\n";
    if (input.lounge.count() == 0 && input.messageBoards.count() == 0 &&
        input.articles.count() == 0) {
        // The plug-in has not started yet: the service has not been asked.
        out += "<li>Not known yet: the web service is asked when the plug-in starts</li>\n";
    } else {
        out += "<li>Lounge: <b>" + describeInterval(input.lounge) + "</b></li>\n";
        out += "<li>Message boards: <b>" + describeInterval(input.messageBoards) + "</b></li>\n";
        out += "<li>Articles: <b>" + describeInterval(input.articles) + "</b></li>\n";
    }
    out += "</ul>\n</section>\n";

    out += "<div class=\"channels\">\n";
    if (input.channels.empty()) {
        out +=
            "<section class=\"card\"><p>No channels are configured: a channel is a section of "
            "the INI file with a ChannelUrl.</p></section>\n";
    }
    for (const IndexChannel& channel : input.channels) {
        const std::string rss = feedUrl(base, channel.name, FeedFormat::rss) + query;
        out += "<section class=\"card\">\n<h2>" + html(channel.title) + "</h2>\n";
        out += "<p class=\"muted\">Channel <span class=\"name\">" +
               html(iniValueToUtf8(channel.name)) + "</span></p>\n";
        if (!channel.description.empty() && channel.description != channel.title) {
            out += "<p>" + html(channel.description) + "</p>\n";
        }
        out += "<dl>\n<dt>Last fetch</dt><dd>" + outcomeHtml(channel);
        if (channel.lastFetch) {
            out += "<br>" + timeHtml(*channel.lastFetch, input.now);
        }
        out += "</dd>\n<dt>Next fetch</dt><dd>";
        out += channel.nextFetch ? timeHtml(*channel.nextFetch, input.now)
                                 : std::string("when a reader asks");
        out += "</dd>\n<dt>Interval</dt><dd>" + describeInterval(channel.refetchInterval) +
               "</dd>\n<dt>Feed</dt><dd><span class=\"url\">" + html(rss) + "</span></dd>\n</dl>\n";
        out += "<ul class=\"subscribe\">\n";
        const struct {
            FeedFormat format;
            const char* label;
        } links[] = {{FeedFormat::rss, "RSS"},
                     {FeedFormat::atom, "Atom"},
                     {FeedFormat::json, "JSON Feed"},
                     {FeedFormat::plugin, "Plug-in text"}};
        for (const auto& link : links) {
            out += "<li><a href=\"" + html(feedUrl(base, channel.name, link.format) + query) +
                   "\">" + link.label + "</a></li>\n";
        }
        out += "</ul>\n</section>\n";
    }
    const std::string made = text::isoDate(input.now);
    out += "</div>\n</main>\n<footer>\n<p class=\"muted\">Page made <time datetime=\"" + made +
           "\">" + made.substr(0, 10) + " " + made.substr(11, 8) +
           " UTC</time>. Dovetrail.</p>\n</footer>\n</body>\n</html>\n";
    return out;
}

}  // namespace host::feeds
