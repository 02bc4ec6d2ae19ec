#include "feedSet.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace host::feeds {

namespace {

// Owns a zlib stream.
class Deflater {
  public:
    Deflater() {
        // 15 window bits plus 16: a gzip wrapper. Its header carries no name and a zero time.
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            throw FeedError("Can't compress a feed: zlib did not start");
        }
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    z_stream& stream() { return stream_; }

  private:
    z_stream stream_{};
};

}  // namespace

std::string strongEtag(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: a validator, not a security measure
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof text, "\"%zx-%016llx\"", bytes.size(),
                  static_cast<unsigned long long>(hash));
    return text;
}

std::string gzipCompress(std::string_view bytes) {
    Deflater deflater;
    z_stream& stream = deflater.stream();
    std::string out;
    out.reserve(bytes.size() / 3 + 64);
    // zlib counts in uInt: the input is handed over in pieces.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    std::size_t handed = 0;
    char buffer[64 * 1024];
    int result;
    do {
        if (stream.avail_in == 0 && handed < bytes.size()) {
            const std::size_t piece = std::min(kPiece, bytes.size() - handed);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + handed));
            stream.avail_in = static_cast<uInt>(piece);
            handed += piece;
        }
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = deflate(&stream, handed == bytes.size() ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) {
            throw FeedError("Can't compress a feed: zlib failed");
        }
        out.append(buffer, sizeof buffer - stream.avail_out);
    } while (result != Z_STREAM_END);
    return out;
}

PreparedBody prepareBody(std::string body, std::string_view contentType) {
    PreparedBody prepared;
    prepared.contentType = std::string(contentType);
    prepared.gzip = gzipCompress(body);
    prepared.etag = strongEtag(body);
    prepared.gzipEtag = strongEtag(prepared.gzip);
    prepared.identity = std::move(body);
    return prepared;
}

std::shared_ptr<const FeedSet> FeedSet::build(std::string pluginText, ChannelModel channel,
                                              FeedContext context) {
    return build(std::make_shared<const PreparedBody>(
                     prepareBody(std::move(pluginText), contentType(FeedFormat::plugin))),
                 std::move(channel), std::move(context));
}

std::shared_ptr<const FeedSet> FeedSet::build(std::shared_ptr<const PreparedBody> pluginForm,
                                              ChannelModel channel, FeedContext context) {
    std::shared_ptr<FeedSet> set(new FeedSet());
    for (const FeedFormat format : kAllFormats) {
        set->forms_[index(format)] =
            format == FeedFormat::plugin
                ? pluginForm
                : std::make_shared<const PreparedBody>(
                      prepareBody(writeFeed(format, {}, channel, context), contentType(format)));
    }
    set->channel_ = std::move(channel);
    set->context_ = std::move(context);
    return set;
}

}  // namespace host::feeds
