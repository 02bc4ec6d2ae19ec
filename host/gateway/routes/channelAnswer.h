// The answer for /channels/NAME.FORMAT once the cache has looked the channel up:
//
// - With a feed: the prepared form (see negotiation.h) with Last-Modified, "Cache-Control:
//   max-age" (the time left until the channel may be fetched again) and, when the last refetch
//   failed, "Dovetrail-Stale: SECONDS", the feed's age: a reader that could get a feed always
//   gets it, never an error. A text that cannot be converted is served as .plugin only; its other
//   forms answer 502 with the reason.
// - Without one: 503 with Retry-After while the plug-in cannot be used or the gateway is shutting
//   down (the whole gateway is out), 504 when the fetch passed its deadline, 404 for a channel the
//   plug-in does not know, else 502 with the fetch's message and hint. A single channel's 502 and
//   504 carry no Retry-After, which some aggregators apply to every feed of the host; the body
//   says when the next fetch may be.
//
// Plain functions; safe from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "channelCache.h"
#include "feedFormats.h"
#include "feedVariants.h"
#include "negotiation.h"
#include "pluginHost.h"

namespace host {

// One request for a channel's form, kept until the cache answers.
struct ChannelRequest {
    std::string name;
    feeds::FeedFormat format = feeds::FeedFormat::rss;
    FormRequest asked;
    // The reader's selection of the items (readerParams.h); nothing: the feed's prepared form.
    std::optional<feeds::ItemSelection> selection{};
};

// What the answer depends on besides the lookup.
struct ChannelAnswerContext {
    TimePoint now;
    std::chrono::milliseconds fetchTimeout{0};
    // Asked only for a channel without a feed; null: the plug-in can be used.
    std::function<std::optional<PluginProblem>()> pluginProblem;
};

HttpResponse channelAnswer(const ChannelRequest& request, const Lookup& lookup,
                           const ChannelAnswerContext& context);

// The 503 answer for a request that needs the plug-in while it cannot be used: the reason, its
// hint and Retry-After (at least 1 s).
HttpResponse unavailableAnswer(const PluginProblem& problem, const std::string& what,
                               TimePoint now);

}  // namespace host
