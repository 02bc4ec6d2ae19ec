// A channel's feed as the gateway serves it: one fetched text, its parsed model with every item
// dated, and its forms under the gateway's one base URL (feedSet.h), built once and shared by
// every reader.
//
// - The text is parsed once per fetch (parseText). A text that cannot be read is still a Feed:
//   it is served in the plug-in's form, and conversionError says why the other forms cannot be.
// - Each item's date is when the gateway first saw it: from the state's record of the fetch, else
//   from the dates known by guid, else the fetch's own start (makeFeed).
// - The forms are written by makeFeed, on the thread that made the feed (a cache thread), never on
//   a reader's: a big channel's conversion takes seconds and a multiple of its size in memory.
//
// - Readers' selections of its items (feedVariants.h) are written from its model on demand and
//   kept with it, at most a bound of them: a new fetch's Feed starts without any.
//
// Thread-safety: a Feed is immutable once made, but for its variants, which guard themselves; any
// thread may read it. makeFeed and parseText are plain functions.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feedSet.h"
#include "feedVariants.h"
#include "textDates.h"

namespace host {

using text::TimePoint;

class Feed {
  public:
    // `model` is the text's channel model with item dates, or nothing when the text cannot be
    // read (then `conversionError` says why). With a model and a `baseUrl`, every form is written
    // here for it. At most `maxVariants` readers' selections are kept (0: none).
    Feed(std::string channel, std::string text, TimePoint lastModified, TimePoint fetchedAt,
         std::chrono::seconds interval, std::optional<feeds::ChannelModel> model,
         std::string conversionError, const std::string& baseUrl,
         std::size_t maxVariants = feeds::FeedVariants::kDefaultCapacity);
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    const std::string& text() const { return plugin_->identity; }  // the plug-in's text
    const std::string& etag() const { return plugin_->etag; }      // of the text, quoted
    // The text byte for byte with its gzip copy, as served at /channels/NAME.plugin.
    const std::shared_ptr<const feeds::PreparedBody>& pluginForm() const { return plugin_; }
    const std::string& channel() const { return channel_; }
    TimePoint lastModified() const { return lastModified_; }  // when the text last changed
    const std::string& lastModifiedHttp() const { return lastModifiedHttp_; }
    TimePoint fetchedAt() const { return fetchedAt_; }  // start of the fetch that produced it
    std::chrono::seconds interval() const { return interval_; }  // the RSS ttl
    const std::optional<feeds::ChannelModel>& model() const { return model_; }
    // Why the feed formats cannot be written from this text; empty when they can.
    const std::string& conversionError() const { return conversionError_; }

    // Every form, under the base the feed was made for; null when there are none (formsError()).
    const std::shared_ptr<const feeds::FeedSet>& forms() const { return forms_; }
    // Why there are no forms although the text was read: writing failed, or no base was given.
    const std::string& formsError() const { return formsError_; }
    // The forms written for readers' selections of the items, from forms().
    feeds::FeedVariants& variants() const { return variants_; }

  private:
    std::string channel_;
    std::shared_ptr<const feeds::PreparedBody> plugin_;
    TimePoint lastModified_;
    std::string lastModifiedHttp_;
    TimePoint fetchedAt_;
    std::chrono::seconds interval_;
    std::optional<feeds::ChannelModel> model_;
    std::string conversionError_;
    std::shared_ptr<const feeds::FeedSet> forms_;
    std::string formsError_;
    mutable feeds::FeedVariants variants_;
};

// The plug-in's text read once per fetch: its model, or why it cannot be read.
struct ParsedText {
    std::optional<feeds::ChannelModel> model;
    std::string error;
};
ParsedText parseText(const std::string& text);

// Where the items' first-seen dates come from, in this order: `recorded` (the state's dates, one
// per item in order; null when the state did not answer), then `byGuid`, then the fetch's start.
struct ItemDates {
    const std::vector<TimePoint>* recorded = nullptr;
    std::map<std::string, TimePoint> byGuid;
};

// What a Feed is made of, apart from the text and its model.
struct FeedFacts {
    std::string channel;
    TimePoint lastModified;
    TimePoint fetchedAt;
    std::chrono::seconds interval{0};
    std::size_t maxVariants = feeds::FeedVariants::kDefaultCapacity;
};

// The Feed of a fetched or stored text: its items dated, its forms written under `baseUrl` (from
// feeds::normalizeBaseUrl; empty: none).
std::shared_ptr<const Feed> makeFeed(FeedFacts facts, std::string text, ParsedText parsed,
                                     const ItemDates& dates, const std::string& baseUrl);

}  // namespace host
