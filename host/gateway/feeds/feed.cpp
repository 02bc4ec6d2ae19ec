#include "feed.h"

#include <algorithm>
#include <exception>

namespace host {

Feed::Feed(std::string channel, std::string text, TimePoint lastModified, TimePoint fetchedAt,
           std::chrono::seconds interval, std::optional<feeds::ChannelModel> model,
           std::string conversionError)
    : channel_(std::move(channel)),
      plugin_(std::make_shared<const feeds::PreparedBody>(
          feeds::prepareBody(std::move(text), feeds::contentType(feeds::FeedFormat::plugin)))),
      lastModified_(lastModified),
      lastModifiedHttp_(text::httpDate(lastModified)),
      fetchedAt_(fetchedAt),
      interval_(interval),
      model_(std::move(model)),
      conversionError_(std::move(conversionError)) {}

std::shared_ptr<const feeds::FeedSet> Feed::forms(const std::string& baseUrl) const {
    if (!model_) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& set : sets_) {
            if (set->context().baseUrl == baseUrl) {
                return set;
            }
        }
    }
    // Written outside the lock: readers under other bases are not held up meanwhile.
    std::shared_ptr<const feeds::FeedSet> set = feeds::FeedSet::build(
        plugin_, *model_, feeds::FeedContext{channel_, baseUrl, interval_, lastModified_});
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& other : sets_) {
        if (other->context().baseUrl == baseUrl) {
            return other;  // another reader was quicker
        }
    }
    if (sets_.size() < kMaxBaseUrls) {
        sets_.push_back(set);
    }
    return set;
}

std::vector<std::string> Feed::builtBases() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> bases;
    for (const auto& set : sets_) {
        bases.push_back(set->context().baseUrl);
    }
    return bases;
}

ParsedText parseText(const std::string& text) {
    ParsedText parsed;
    try {
        parsed.model = feeds::parsePluginText(text);
    } catch (const feeds::FeedError& e) {
        parsed.error = std::string("Can't convert the channel's text: ") + e.what();
    }
    return parsed;
}

std::shared_ptr<const Feed> makeFeed(FeedFacts facts, std::string text, ParsedText parsed,
                                     const ItemDates& dates,
                                     const std::vector<std::string>& bases) {
    std::optional<feeds::ChannelModel>& model = parsed.model;
    if (model) {
        for (std::size_t i = 0; i < model->items.size(); ++i) {
            feeds::FeedItem& item = model->items[i];
            if (dates.recorded != nullptr && i < dates.recorded->size()) {
                item.published = (*dates.recorded)[i];
            } else if (const auto it = dates.byGuid.find(item.guid()); it != dates.byGuid.end()) {
                item.published = it->second;
            } else {
                item.published = facts.fetchedAt;
            }
        }
    }
    auto feed = std::make_shared<const Feed>(std::move(facts.channel), std::move(text),
                                             facts.lastModified, facts.fetchedAt, facts.interval,
                                             std::move(model), std::move(parsed.error));
    // The forms readers will ask for are made now, on this thread, not by the first of them.
    for (const std::string& base : bases) {
        if (base.empty()) {
            continue;
        }
        try {
            feed->forms(base);
        } catch (const std::exception&) {
            // The reader that asks meets the failure and is told.
        }
    }
    return feed;
}

std::vector<std::string> basesToBuild(const std::string& current,
                                      const std::shared_ptr<const Feed>& previous) {
    std::vector<std::string> bases{current};
    if (previous) {
        for (std::string& base : previous->builtBases()) {
            if (std::find(bases.begin(), bases.end(), base) == bases.end()) {
                bases.push_back(std::move(base));
            }
        }
    }
    return bases;
}

}  // namespace host
