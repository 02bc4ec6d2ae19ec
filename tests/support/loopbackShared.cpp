// The parts of the loopback server that are the same in every build.
#include <algorithm>

#include "loopbackServer.h"

namespace testing_support {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    for (const auto& entry : headers) {
        if (equalNoCase(entry.first, name)) {
            return true;
        }
    }
    return false;
}

std::string LoopbackServer::largeBody() {
    std::string body(kLargeSize, '\0');
    for (std::size_t i = 0; i < kLargeSize; ++i) {
        // Not periodic at any power of two, so a misplaced or repeated piece shows.
        body[i] = static_cast<char>((i * 31 + i / 251) & 0xff);
    }
    return body;
}

std::string LoopbackServer::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

}  // namespace testing_support
