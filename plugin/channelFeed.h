// The channel feed writer: downloads a channel's web-service answer, parses it into items while it
// arrives and writes the RSS text that the host shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "channelConfig.h"
#include "net.h"
#include "pluginState.h"
#include "xmlParser.h"

namespace plugin {

// Returns DOVETRAIL_STATUS_OK with the RSS text handed over, or DOVETRAIL_STATUS_NO_MEMORY. Throws
// std::runtime_error for a download failure or an HTTP status of 400 or more, and expat::Exception
// for an answer that is not well-formed XML. Never writes the error text.
std::int32_t writeChannelFeed(const ChannelSettings& settings, const StateSnapshot& state,
                              char** text, std::uint32_t* length, char* errorText);

// Replaces every byte of 128 or more by '?', so the parser only ever sees 7-bit bytes.
void maskEightBitBytes(char* data, std::size_t size) noexcept;

// The RSS text in one block of the plug-in's heap, grown in place as it is written and handed to
// the host as it stands, so the text is held once and never copied whole. A block that cannot be
// grown leaves the text marked as failed; nothing more is written then.
class RssText {
  public:
    RssText() = default;
    ~RssText();
    RssText(const RssText&) = delete;
    RssText& operator=(const RssText&) = delete;

    void append(std::string_view text) {
        if (text.empty()) {
            return;  // also while there is no block yet, or after a failed growth
        }
        if (text.size() <= capacity_ - size_ || grow(text.size())) {
            std::memcpy(data_ + size_, text.data(), text.size());
            size_ += text.size();
        }
    }
    void append(char c) {
        if (size_ < capacity_ || grow(1)) {
            data_[size_++] = c;
        }
    }
    bool failed() const { return failed_; }
    std::string_view view() const { return {data_, size_}; }

    // Hands the block over, cut to the text's length: DOVETRAIL_STATUS_OK, or
    // DOVETRAIL_STATUS_NO_MEMORY when a growth failed.
    std::int32_t handOver(char** textOut, std::uint32_t* lengthOut);

  private:
    bool grow(std::size_t more);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool failed_ = false;
};

// The channel path from answer bytes to RSS text: a download sink that masks each piece in the
// parser's own buffer, parses it, and writes each item's lines as soon as the item is complete.
// Only the one item being filled and the RSS text are held.
//
// Failures are kept until the body has ended, so that a download failure, which leaves
// downloadUrl first, wins over them: an HTTP status of 400 or more (the body is read but not
// parsed: an error page is no channel, and its parse error would hide the status), a parse error
// (the rest of the body is read and dropped), or any other exception of the parse. finish()
// throws the first one kept.
class ChannelStream final : public tools::BodySink, private ItemSink {
  public:
    ChannelStream(const ChannelSettings& settings, bool fixUrlBug, std::string url);
    ~ChannelStream() override;

    void begin(std::uint32_t status, const std::string& statusText) override;
    char* room(std::size_t wanted) override;
    void received(std::size_t count) override;
    void end() override;

    // After end(): throws the failure kept, or completes the text and hands it to the host
    // (DOVETRAIL_STATUS_OK or DOVETRAIL_STATUS_NO_MEMORY).
    std::int32_t finish(char** textOut, std::uint32_t* lengthOut);

  private:
    void item(BriefItem& item) override;
    void keep(std::exception_ptr failure);

    const ChannelSettings& settings_;
    const bool fixUrlBug_;
    const std::string url_;
    XmlParser parser_;
    bool parsing_ = false;
    std::exception_ptr failure_;
    std::vector<char> discarded_;  // room for the pieces that are read but not parsed
    char* room_ = nullptr;
    std::string title_;  // each item's title, built once in a reused string
    RssText rss_;
};

}  // namespace plugin
