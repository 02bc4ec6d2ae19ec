// A reader's selection of a feed's items (the first N, titles with or without some words) and
// the forms written from such selections, kept per fetch.
//
// - ItemSelection is a plain value: its alternatives are stored lower-cased (ASCII), without
//   empty ones, sorted and without duplicates, so that selections that choose the same items have
//   the same key(). Titles match case-insensitively by ASCII folding (bytes of 0x80 and above
//   match only themselves, so a UTF-8 title's other letters match in the case they are written).
// - FeedVariants keeps the forms written for the selections readers asked of one fetch, at most
//   `capacity` of them (one per selection and format). When it is full, the least recently used
//   is evicted for the new one, so a reader of a rare selection costs one conversion and the
//   popular ones stay. A Feed owns one: a new fetch, a new Feed, starts empty.
//
// Thread-safety: selectItems is a plain function. FeedVariants::form may run on several threads
// at once; the forms it returns are immutable and shared with the readers that hold them.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "channelModel.h"
#include "feedFormats.h"
#include "feedSet.h"

namespace host::feeds {

struct ItemSelection {
    std::optional<std::size_t> limit;  // keep the first N items after filtering; N > 0
    std::vector<std::string> keep;     // keep an item whose title holds one of these; none: all
    std::vector<std::string> drop;     // then drop an item whose title holds one of these

    // Lower-cases, sorts and dedups the alternatives and drops empty ones.
    void normalise();
    // Whether the selection keeps every item (after normalise()).
    bool selectsAll() const { return !limit && keep.empty() && drop.empty(); }
    // The same text for every selection that picks the same items (after normalise()).
    std::string key() const;
};

// Whether `title` holds `lowerWord` (lower-case ASCII), ASCII letter case ignored.
bool titleHolds(std::string_view title, std::string_view lowerWord);

// The channel with only the items `selection` keeps, in their order.
ChannelModel selectItems(const ChannelModel& channel, const ItemSelection& selection);

class FeedVariants {
  public:
    static constexpr std::size_t kDefaultCapacity = 64;
    explicit FeedVariants(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
    FeedVariants(const FeedVariants&) = delete;
    FeedVariants& operator=(const FeedVariants&) = delete;

    // The form `format` of `channel` (the feed's model) with the items `selection` keeps, under
    // the feed's own `context`: its self link is the feed's plain address, without the reader's
    // query, so every variant names the one feed it is a view of. The kept one, or one written
    // now and kept. Throws FeedError when writing or compressing fails.
    std::shared_ptr<const PreparedBody> form(const ChannelModel& channel,
                                             const FeedContext& context,
                                             const ItemSelection& selection, FeedFormat format);

    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }

  private:
    using Entry = std::pair<std::string, std::shared_ptr<const PreparedBody>>;

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::list<Entry> recent_;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> byKey_;
};

}  // namespace host::feeds
