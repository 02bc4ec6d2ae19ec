#include "channelAnswer.h"

#include <algorithm>
#include <exception>

#include "textEscape.h"

namespace host {

namespace {

long long secondsUntil(TimePoint later, TimePoint now) {
    if (later <= now) {
        return 0;
    }
    // Round up: a reader must not come back before the fetch is allowed.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(later - now).count();
    return (ms + 999) / 1000;
}

long long secondsSince(TimePoint earlier, TimePoint now) {
    return now <= earlier ? 0
                          : std::chrono::duration_cast<std::chrono::seconds>(now - earlier).count();
}

// A single channel's failure carries no Retry-After: some aggregators apply one to every feed of
// the host. The body says when the next fetch may be.
std::string nextTry(long long remaining) {
    return "The next fetch may be in " + std::to_string(remaining) +
           (remaining == 1 ? " second.\n" : " seconds.\n");
}

HttpResponse noFeedAnswer(const std::string& name, const Lookup& lookup,
                          const ChannelAnswerContext& context, long long remaining) {
    const bool stopping = lookup.answer == CacheAnswer::stopping;
    const std::optional<PluginProblem> problem =
        stopping || lookup.refreshing || !context.pluginProblem ? std::nullopt
                                                                : context.pluginProblem();
    if (problem) {
        return unavailableAnswer(*problem, "channel " + text::printable(name), context.now);
    }
    HttpResponse response;
    switch (lookup.answer) {
        case CacheAnswer::stopping:
            response = HttpResponse::text(503, "The gateway is shutting down; channel " +
                                                   text::printable(name) + " has no feed yet.\n");
            response.set("Retry-After", "10");
            break;
        case CacheAnswer::timedOut:
            response = HttpResponse::text(
                504, "Can't fetch channel " + text::printable(name) + ": no answer within " +
                         secondsText(context.fetchTimeout) + "; the fetch goes on.\n");
            break;
        case CacheAnswer::unknownChannel:
            response = HttpResponse::text(404, lookup.error + "\n");
            break;
        case CacheAnswer::noFeed:
        case CacheAnswer::feed:
        case CacheAnswer::staleFeed: {
            const std::string hint = lookup.hint.empty() ? "" : "hint: " + lookup.hint + "\n";
            response = HttpResponse::text(502, lookup.error + "\n" + hint + nextTry(remaining));
            break;
        }
    }
    response.set("Cache-Control", "no-store");
    return response;
}

}  // namespace

HttpResponse unavailableAnswer(const PluginProblem& problem, const std::string& what,
                               TimePoint now) {
    std::string body = "The gateway cannot serve " + what + " now: " + problem.message + "\n";
    if (!problem.hint.empty()) {
        body += "hint: " + problem.hint + "\n";
    }
    HttpResponse response = HttpResponse::text(503, body);
    // Never 0: a reader that asks again at once would only get this answer again.
    response.set("Retry-After",
                 std::to_string(std::max(secondsUntil(problem.nextAttempt, now), 1LL)));
    response.set("Cache-Control", "no-store");
    return response;
}

HttpResponse channelAnswer(const ChannelRequest& request, const Lookup& lookup,
                           const ChannelAnswerContext& context) {
    const std::string& name = request.name;
    const long long remaining = secondsUntil(lookup.nextFetch, context.now);
    if (!lookup.feed) {
        return noFeedAnswer(name, lookup, context, remaining);
    }
    const Feed& feed = *lookup.feed;
    std::shared_ptr<const feeds::PreparedBody> form;
    if (request.format == feeds::FeedFormat::plugin) {
        form = feed.pluginForm();
    } else if (!feed.conversionError().empty()) {
        HttpResponse response = HttpResponse::text(
            502, feed.conversionError() + "\nThe plug-in's own text is served at /channels/" +
                     text::percentEncode(name) + ".plugin.\n" + nextTry(remaining));
        response.set("Cache-Control", "no-store");
        return response;
    } else if (feed.forms() && request.selection) {
        try {
            form = feed.variants().form(*feed.model(), feed.forms()->context(), *request.selection,
                                        request.format);
        } catch (const std::exception& e) {
            HttpResponse response =
                HttpResponse::text(500, "Can't write channel " + text::printable(name) +
                                            " with the reader's parameters: " + e.what() + "\n");
            response.set("Cache-Control", "no-store");
            return response;
        }
    } else if (feed.forms()) {
        form = feed.forms()->sharedForm(request.format);
    } else {
        HttpResponse response =
            HttpResponse::text(500, "Can't write channel " + text::printable(name) + " as " +
                                        std::string(feeds::formatName(request.format)) + ": " +
                                        feed.formsError() + "\n");
        response.set("Cache-Control", "no-store");
        return response;
    }
    // Never longer than the schedule can wait: a next fetch far off (a clock stepped back) must not
    // keep a reader's copy for longer than the channel can change.
    const long long maxAge = std::min<long long>(remaining, lookup.longestWait.count());
    HttpResponse response = preparedAnswer(
        form, request.asked,
        Freshness{feed.lastModified(), feed.lastModifiedHttp(), maxAge, context.now});
    if (lookup.stale()) {
        // How old the served feed is; why the refetch failed is on /status.
        response.set("Dovetrail-Stale",
                     std::to_string(secondsSince(feed.fetchedAt(), context.now)));
    }
    return response;
}

}  // namespace host
