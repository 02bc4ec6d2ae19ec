#include "readerAccess.h"

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>

#include "hostError.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr std::size_t kLongestKey = 256;

std::string_view trimmed(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

bool isKeyByte(char c) {
    return c > ' ' && c < 0x7F;
}

// Runs over all of `expected` whatever `given` holds, so the time depends on the key's length
// only, never on where a guess first differs.
bool sameKey(std::string_view given, std::string_view expected) {
    volatile unsigned char differs = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char guess = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        differs = differs | (guess ^ static_cast<unsigned char>(expected[i]));
    }
    return differs == 0;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw HostError(kExitUsage, "--access-key-file: can't read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw HostError(kExitUsage, "--access-key-file: can't read " + path);
    }
    return std::move(text).str();
}

}  // namespace

AccessKeys AccessKeys::parse(std::string_view text, const std::string& source) {
    AccessKeys keys;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        bool printableAscii = true;
        for (const char c : line) {
            printableAscii = printableAscii && isKeyByte(c);
        }
        if (!printableAscii || line.size() > kLongestKey) {
            // The key itself stays out of the message: it may be most of a good one.
            throw HostError(kExitUsage, "--access-key-file: " + source + " line " +
                                            std::to_string(lineNumber) + ": a key is 1 to " +
                                            std::to_string(kLongestKey) +
                                            " printable ASCII characters without blanks");
        }
        keys.keys_.emplace_back(line);
    }
    if (keys.keys_.empty()) {
        // No key must never mean no check: the file would lock out nobody.
        throw HostError(kExitUsage, "--access-key-file: " + source +
                                        " holds no key (one key a line; '#' starts a comment)");
    }
    return keys;
}

bool AccessKeys::admits(std::string_view key) const {
    bool found = false;
    for (const std::string& expected : keys_) {
        found = sameKey(key, expected) || found;  // every key compared: no early way out
    }
    return found;
}

std::size_t AccessKeys::shortKeys() const {
    std::size_t count = 0;
    for (const std::string& key : keys_) {
        count += key.size() < kShortKey ? 1 : 0;
    }
    return count;
}

std::string keyQuery(std::string_view key) {
    return "?key=" + text::percentEncode(key);
}

AccessKeyFile::AccessKeyFile(std::string path)
    : path_(std::move(path)),
      keys_(std::make_shared<const AccessKeys>(AccessKeys::parse(readWhole(path_), path_))) {}

std::shared_ptr<const AccessKeys> AccessKeyFile::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_;
}

std::string AccessKeyFile::reload() {
    try {
        auto keys = std::make_shared<const AccessKeys>(AccessKeys::parse(readWhole(path_), path_));
        std::string line = "dovetrail: reload: " + describe(*keys, path_);
        std::lock_guard<std::mutex> lock(mutex_);
        keys_ = std::move(keys);
        return line;
    } catch (const HostError& e) {
        return std::string("dovetrail: reload: ") + e.what() + "; the keys read before stay in use";
    }
}

std::string AccessKeyFile::describe(const AccessKeys& keys, const std::string& path) {
    std::string line = std::to_string(keys.size()) +
                       (keys.size() == 1 ? " access key" : " access keys") + " from " + path;
    if (const std::size_t shortOnes = keys.shortKeys()) {
        line += "; warning: " + std::to_string(shortOnes) + " shorter than " +
                std::to_string(AccessKeys::kShortKey) +
                " characters, which a client that asks often enough can guess";
    }
    return line;
}

bool isLocalReader(const HttpRequest& request) {
    if (request.header("Forwarded") != nullptr || request.header("X-Forwarded-For") != nullptr) {
        return false;
    }
    std::string_view peer = request.peer;
    constexpr std::string_view kMapped = "::ffff:";  // an IPv4 peer of a dual-stack socket
    if (peer.substr(0, kMapped.size()) == kMapped) {
        peer.remove_prefix(kMapped.size());
    }
    // The engine's own text of the peer's address: no name, no port, nothing to parse further.
    return peer == "::1" || peer.substr(0, 4) == "127.";
}

namespace {

// The address's bytes and their count (4 or 16); IPv4-mapped IPv6 addresses as IPv4.
std::optional<std::pair<std::array<unsigned char, 16>, std::size_t>> addressBytes(
    std::string_view text) {
    constexpr std::string_view kMapped = "::ffff:";
    if (text.substr(0, kMapped.size()) == kMapped && text.find('.') != std::string_view::npos) {
        text.remove_prefix(kMapped.size());
    }
    const std::string address(text);
    std::array<unsigned char, 16> bytes{};
    if (::inet_pton(AF_INET, address.c_str(), bytes.data()) == 1) {
        return std::make_pair(bytes, std::size_t{4});
    }
    if (::inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1) {
        return std::make_pair(bytes, std::size_t{16});
    }
    return std::nullopt;
}

}  // namespace

std::optional<AddressRange> AddressRange::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = addressBytes(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    AddressRange range;
    range.bytes_ = address->first;
    range.length_ = address->second;
    range.bits_ = range.length_ * 8;
    if (slash != std::string_view::npos) {
        const std::string_view bits = text.substr(slash + 1);
        std::size_t value = 0;
        const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), value);
        if (bits.empty() || error != std::errc() || end != bits.data() + bits.size() ||
            value > range.bits_) {
            return std::nullopt;
        }
        range.bits_ = value;
    }
    return range;
}

std::vector<AddressRange> AddressRange::loopback() {
    return {*parse("127.0.0.0/8"), *parse("::1")};
}

bool AddressRange::contains(std::string_view peer) const {
    const auto address = addressBytes(peer);
    if (!address || address->second != length_) {
        return false;
    }
    for (std::size_t bit = 0; bit < bits_; ++bit) {
        const unsigned mask = 0x80u >> (bit % 8);
        if ((address->first[bit / 8] & mask) != (bytes_[bit / 8] & mask)) {
            return false;
        }
    }
    return true;
}

std::string hidePaths(std::string text, const std::vector<std::string>& paths,
                      const std::vector<std::string>& directories) {
    const auto replaceAll = [&text](const std::string& from, std::string_view to) {
        if (from.empty()) {
            return;
        }
        for (std::size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    };
    for (const std::string& path : paths) {
        const std::size_t slash = path.find_last_of("/\\");
        replaceAll(path, slash == std::string::npos ? path : path.substr(slash + 1));
    }
    for (const std::string& directory : directories) {
        replaceAll(directory, "");
    }
    return text;
}

}  // namespace host
