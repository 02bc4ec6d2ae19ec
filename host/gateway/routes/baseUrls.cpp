#include "baseUrls.h"

#include "accessLog.h"
#include "textDates.h"

namespace host {

namespace {

bool isHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::optional<std::string> baseUrlFromHost(std::string_view host) {
    while (!host.empty() && (host.front() == ' ' || host.front() == '\t')) {
        host.remove_prefix(1);
    }
    while (!host.empty() && (host.back() == ' ' || host.back() == '\t')) {
        host.remove_suffix(1);
    }
    if (host.empty() || host.size() > 255) {
        return std::nullopt;
    }
    std::string lower(host);
    for (char& c : lower) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::string_view name = lower;
    std::string_view port;
    if (name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos || close < 3) {
            return std::nullopt;
        }
        for (const char c : name.substr(1, close - 1)) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
                return std::nullopt;
            }
        }
        const std::string_view rest = name.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (!rest.empty() && port.empty()) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) {
            port = name.substr(colon + 1);
            name = name.substr(0, colon);
            if (port.empty()) {
                return std::nullopt;
            }
        }
        if (name.empty() || name.front() == '.' || name.front() == '-') {
            return std::nullopt;
        }
        for (const char c : name) {
            if (!isHostChar(c)) {
                return std::nullopt;
            }
        }
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoul(std::string(port)) > 65535) {
            return std::nullopt;
        }
    }
    return "http://" + lower;
}

BaseUrls::BaseUrls(std::string publicUrl, std::function<TimePoint()> now)
    : publicUrl_(std::move(publicUrl)), now_(std::move(now)) {
    if (!publicUrl_.empty()) {
        fallback_ = publicUrl_;
    }
}

void BaseUrls::setFallback(std::string baseUrl) {
    if (!publicUrl_.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    fallback_ = std::move(baseUrl);
}

std::string BaseUrls::forRequest(const HttpRequest& request) {
    if (!publicUrl_.empty()) {
        return publicUrl_;
    }
    const std::string* host = request.header("Host");
    std::optional<std::string> base = host ? baseUrlFromHost(*host) : std::nullopt;
    bool announceFull = false;
    std::string fallback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (base && (*base == fallback_ || hostBases_.count(*base) != 0)) {
            return *base;
        }
        if (base && hostBases_.size() < kMaxHostBases) {
            hostBases_.insert(*base);
            return *base;
        }
        announceFull = base.has_value() && !full_;
        full_ = full_ || base.has_value();
        fallback = fallback_;
    }
    if (announceFull) {
        writeErrorLine(text::isoDate(now_()) + " more than " + std::to_string(kMaxHostBases) +
                       " host names seen in Host headers; further ones get links under " +
                       fallback + " (give serve --public-url to name the one address)");
    }
    return fallback;
}

}  // namespace host
