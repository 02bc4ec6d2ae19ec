#include "feed.h"

#include <exception>

namespace host {

Feed::Feed(std::string channel, std::string text, TimePoint lastModified, TimePoint fetchedAt,
           std::chrono::seconds interval, std::optional<feeds::ChannelModel> model,
           std::string conversionError, const std::string& baseUrl, std::size_t maxVariants)
    : channel_(std::move(channel)),
      plugin_(std::make_shared<const feeds::PreparedBody>(
          feeds::prepareBody(std::move(text), feeds::contentType(feeds::FeedFormat::plugin)))),
      lastModified_(lastModified),
      lastModifiedHttp_(text::httpDate(lastModified)),
      fetchedAt_(fetchedAt),
      interval_(interval),
      model_(std::move(model)),
      conversionError_(std::move(conversionError)),
      variants_(maxVariants) {
    if (!model_) {
        return;
    }
    if (baseUrl.empty()) {
        formsError_ = "no base URL for its links";
        return;
    }
    try {
        forms_ = feeds::FeedSet::build(
            plugin_, *model_, feeds::FeedContext{channel_, baseUrl, interval_, lastModified_});
    } catch (const std::exception& e) {
        // Readers of the other forms are told; the plug-in's own form is still served.
        formsError_ = e.what();
    }
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
                                     const std::string& baseUrl) {
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
    return std::make_shared<const Feed>(
        std::move(facts.channel), std::move(text), facts.lastModified, facts.fetchedAt,
        facts.interval, std::move(model), std::move(parsed.error), baseUrl, facts.maxVariants);
}

}  // namespace host
