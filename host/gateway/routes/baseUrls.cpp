#include "baseUrls.h"

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

namespace {

// The name part of a Host value from baseUrlFromHost ("http://name:port"): "name", "[::1]".
std::string_view hostName(std::string_view base) {
    base.remove_prefix(std::string_view("http://").size());
    const std::size_t end = base.front() == '[' ? base.find(']') + 1 : base.find(':');
    return base.substr(0, end);
}

bool isLoopbackIpv4(std::string_view name) {
    int parts = 0;
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t dot = name.find('.', pos);
        if (dot == std::string_view::npos) {
            dot = name.size();
        }
        const std::string_view part = name.substr(pos, dot - pos);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(part)) > 255 || (parts == 0 && part != "127")) {
            return false;
        }
        ++parts;
        pos = dot + 1;
    }
    return parts == 4;
}

// The host name of a public URL ("https://feeds.example.org:8443/x" gives "feeds.example.org").
std::string publicHostOf(const std::string& publicUrl) {
    const std::size_t start = publicUrl.find("://");
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t end = publicUrl.find('/', start + 3);
    const std::string authority =
        publicUrl.substr(start + 3, end == std::string::npos ? end : end - start - 3);
    const std::optional<std::string> base = baseUrlFromHost(authority);
    return base ? std::string(hostName(*base)) : std::string();
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    const std::optional<std::string> base = baseUrlFromHost(host);
    if (!base) {
        return false;
    }
    const std::string_view name = hostName(*base);
    return name == "localhost" || name == "[::1]" || isLoopbackIpv4(name);
}

BaseUrls::BaseUrls(std::string publicUrl)
    : publicUrl_(std::move(publicUrl)), publicHost_(publicHostOf(publicUrl_)) {}

void BaseUrls::setListening(std::string baseUrl, bool loopback) {
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = std::move(baseUrl);
    loopback_ = loopback;
}

std::string BaseUrls::base() const {
    if (!publicUrl_.empty()) {
        return publicUrl_;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return listening_;
}

bool BaseUrls::answersHost(const HttpRequest& request) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!loopback_) {
            return true;
        }
    }
    const std::string* host = request.header("Host");
    if (host == nullptr || isLoopbackHost(*host)) {
        return true;
    }
    const std::optional<std::string> base = baseUrlFromHost(*host);
    return base && !publicHost_.empty() && hostName(*base) == publicHost_;
}

}  // namespace host
