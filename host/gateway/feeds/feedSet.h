// A channel's feed forms prepared once per fetch, so that answering a reader costs no conversion
// and no compression: each form's bytes and their gzip copy, with content type, lengths and
// strong entity tags (the gzip copy is another representation, so it has a tag of its own).
//
// A FeedSet is immutable once built and shared by readers through shared_ptr<const FeedSet>;
// any number of threads may read one. The plug-in's own form does not depend on where the feeds are
// served, so the sets of one fetch built for several base URLs share it instead of copying it.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "channelModel.h"
#include "feedFormats.h"

namespace host::feeds {

// One answer body in both encodings.
struct PreparedBody {
    std::string contentType;
    std::string identity;  // the bytes as written
    std::string gzip;      // the same, gzip-compressed
    std::string etag;      // of `identity`, quoted
    std::string gzipEtag;  // of `gzip`, quoted
    std::size_t identityLength() const { return identity.size(); }
    std::size_t gzipLength() const { return gzip.size(); }
};

// Compresses and tags `body`. Throws FeedError when compression fails.
PreparedBody prepareBody(std::string body, std::string_view contentType);

// A strong entity tag of some bytes: a quoted length and 64-bit hash, the same bytes always give
// the same tag (across restarts too).
std::string strongEtag(std::string_view bytes);

// gzip (RFC 1952) at the default level, no file name and no time in the header, so the same input
// always gives the same bytes. Throws FeedError.
std::string gzipCompress(std::string_view bytes);

class FeedSet {
  public:
    // Writes every form of the channel. `channel` is the plug-in text's model with each item's
    // `published` set. Throws FeedError when writing or compressing fails.
    static std::shared_ptr<const FeedSet> build(std::string pluginText, ChannelModel channel,
                                                FeedContext context);
    // The same with the plug-in's form already prepared (and shared with other sets).
    static std::shared_ptr<const FeedSet> build(std::shared_ptr<const PreparedBody> pluginForm,
                                                ChannelModel channel, FeedContext context);

    const PreparedBody& form(FeedFormat format) const { return *forms_[index(format)]; }
    // The form as an owner, for answers that outlive this set's other references.
    const std::shared_ptr<const PreparedBody>& sharedForm(FeedFormat format) const {
        return forms_[index(format)];
    }
    const ChannelModel& channel() const { return channel_; }
    const FeedContext& context() const { return context_; }

  private:
    FeedSet() = default;
    static std::size_t index(FeedFormat format) { return static_cast<std::size_t>(format); }

    ChannelModel channel_;
    FeedContext context_;
    std::array<std::shared_ptr<const PreparedBody>, std::size(kAllFormats)> forms_;
};

}  // namespace host::feeds
