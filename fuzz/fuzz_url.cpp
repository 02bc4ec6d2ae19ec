// Splits arbitrary URLs. The first two bytes choose the host and path capacities (the download's
// own 1024 and 4096, or small ones that make the limits bite); the rest is the URL. Checks that
// the parts fit, that a URL without a scheme is all path, and that the parts of a URL of a known
// scheme reassemble into a URL that splits into the same parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzCheck.h"
#include "platform/internet.h"

namespace {

using platform::InternetScheme;
using platform::UrlParts;

bool sameParts(const UrlParts& a, const UrlParts& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port && a.path == b.path;
}

std::string reassembled(const UrlParts& parts) {
    if (parts.scheme == InternetScheme::File) {
        // "file://" would take a path that does not start with '/' for a host.
        if (!parts.path.empty() && parts.path.front() != '/') {
            return "file:" + parts.path;
        }
        if (!parts.host.empty()) {
            return "file://" + parts.host + parts.path;
        }
        // A "file:///" path is a file name with its escapes decoded, so its '%' is written "%25".
        std::string url = "file://";
        for (const char c : parts.path) {
            url += c == '%' ? std::string("%25") : std::string(1, c);
        }
        return url;
    }
    std::string url = parts.scheme == InternetScheme::Https  ? "https://"
                      : parts.scheme == InternetScheme::Http ? "http://"
                                                             : "ftp://";
    const bool bracketed =
        parts.host.find(':') != std::string::npos || (!parts.host.empty() && parts.host[0] == '[');
    url += bracketed ? "[" + parts.host + "]" : parts.host;
    if (parts.port != 0) {
        url += ":" + std::to_string(parts.port);
    }
    return url + parts.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t hostCapacity = (data[0] & 0x80U) != 0 ? 1024 : data[0];
    const std::size_t pathCapacity = (data[1] & 0x80U) != 0 ? 4096 : data[1];
    const std::string url(reinterpret_cast<const char*>(data + 2), size - 2);

    UrlParts parts;
    if (!platform::crackUrl(url, hostCapacity, pathCapacity, parts)) {
        return 0;
    }
    FUZZ_CHECK(parts.host.size() < hostCapacity && parts.path.size() < pathCapacity);
    if (parts.scheme == InternetScheme::Unknown) {
        if (url.find(':') == std::string::npos) {
            FUZZ_CHECK(parts.path == url && parts.host.empty() && parts.port == 0);
        }
        return 0;
    }
    if (parts.scheme != InternetScheme::File) {
        FUZZ_CHECK(!parts.host.empty());
    }
    UrlParts again;
    const std::string rebuilt = reassembled(parts);
    FUZZ_CHECK(platform::crackUrl(rebuilt, hostCapacity, pathCapacity, again));
    FUZZ_CHECK(sameParts(parts, again));
    return 0;
}
