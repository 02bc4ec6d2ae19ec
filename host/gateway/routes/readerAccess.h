// Who may read the gateway and what a reader is shown.
//
// - Access keys (serve --access-key-file FILE): one key a line; empty lines and lines starting
//   with '#' are skipped, blanks around a key dropped. A key is 1 to 256 printable ASCII bytes
//   without blanks. With keys, every request names one as `?key=KEY` (percent-encoded or not);
//   the comparison takes the same time wherever a wrong key differs, so the answer times tell
//   nothing about a key's bytes.
// - Local readers: a request from a loopback address that did not come through a proxy
//   (no Forwarded or X-Forwarded-For field). Only they see the absolute paths of the gateway's
//   files in its pages and error answers; others see the file names.
//
// Thread-safety: AccessKeys is immutable. AccessKeyFile's members may run on several threads at
// once; current() never waits for a reading of the file.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "httpMessage.h"

namespace host {

class AccessKeys {
  public:
    // Throws HostError (kExitUsage) naming `source` and the line of the first bad key, or saying
    // that there is no key at all.
    static AccessKeys parse(std::string_view text, const std::string& source);

    bool admits(std::string_view key) const;
    std::size_t size() const { return keys_.size(); }
    // Keys shorter than this are guessable by a reader who asks often enough.
    static constexpr std::size_t kShortKey = 16;
    std::size_t shortKeys() const;

  private:
    std::vector<std::string> keys_;
};

// "?key=KEY" with the key percent-encoded: what the gateway's own links carry for a reader.
std::string keyQuery(std::string_view key);

// The keys of one file, read again by reload().
class AccessKeyFile {
  public:
    // Reads `path` (HostError kExitUsage when it cannot, or holds no key).
    explicit AccessKeyFile(std::string path);

    const std::string& path() const { return path_; }
    std::shared_ptr<const AccessKeys> current() const;
    // Reads the file again; when that fails, the keys read before stay in use. Returns the log
    // line that says which.
    std::string reload();
    // What a reading of the file gave, for the log: "N keys from PATH", with a warning for short
    // ones.
    static std::string describe(const AccessKeys& keys, const std::string& path);

  private:
    const std::string path_;
    mutable std::mutex mutex_;
    std::shared_ptr<const AccessKeys> keys_;
};

// A loopback peer with no proxy's forwarding field.
bool isLocalReader(const HttpRequest& request);

// An IPv4 or IPv6 network, "ADDRESS/BITS" or one address. A peer of a dual-stack socket written
// "::ffff:a.b.c.d" is the IPv4 address it carries.
class AddressRange {
  public:
    // Nothing for text that is no address, or bits beyond the address's length.
    static std::optional<AddressRange> parse(std::string_view text);
    // 127.0.0.0/8 and ::1.
    static std::vector<AddressRange> loopback();
    bool contains(std::string_view peer) const;

  private:
    std::array<unsigned char, 16> bytes_{};
    std::size_t length_ = 4;  // 4 or 16
    std::size_t bits_ = 32;
};

// `text` with each of `paths` (absolute file names) replaced by its last component, then each of
// `directories` (ending in a separator) removed.
std::string hidePaths(std::string text, const std::vector<std::string>& paths,
                      const std::vector<std::string>& directories);

}  // namespace host
