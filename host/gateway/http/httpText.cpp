#include "httpText.h"

#include <cstdio>

#include "textCase.h"
#include "textEscape.h"

namespace host {

bool etagMatches(std::string_view ifNoneMatch, std::string_view etag) {
    const auto opaque = [](std::string_view tag) {
        if (tag.substr(0, 2) == "W/") {
            tag.remove_prefix(2);
        }
        return tag;
    };
    const std::string_view wanted = opaque(etag);
    std::size_t pos = 0;
    while (pos < ifNoneMatch.size()) {
        std::size_t comma = ifNoneMatch.find(',', pos);
        if (comma == std::string_view::npos) {
            comma = ifNoneMatch.size();
        }
        std::string_view tag = ifNoneMatch.substr(pos, comma - pos);
        const std::size_t b = tag.find_first_not_of(" \t");
        const std::size_t e = tag.find_last_not_of(" \t");
        tag = b == std::string_view::npos ? std::string_view() : tag.substr(b, e - b + 1);
        if (tag == "*" || (!tag.empty() && opaque(tag) == wanted)) {
            return true;
        }
        pos = comma + 1;
    }
    return false;
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
    std::size_t pos = 0;
    while (pos <= query.size()) {
        std::size_t amp = query.find('&', pos);
        if (amp == std::string_view::npos) {
            amp = query.size();
        }
        const std::string_view pair = query.substr(pos, amp - pos);
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            return text::percentDecodeStrict(
                equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        }
        pos = amp + 1;
    }
    return std::nullopt;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string secondsText(std::chrono::milliseconds duration) {
    const long long ms = duration.count();
    if (ms == 1000) {
        return "1 second";
    }
    if (ms % 1000 == 0) {
        return std::to_string(ms / 1000) + " seconds";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f seconds", static_cast<double>(ms) / 1000.0);
    return buffer;
}

bool hasControlByte(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            return true;
        }
    }
    return false;
}

namespace {

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Whether a "q=" weight says "not acceptable": 0, 0.0, 0.00 or 0.000.
bool zeroWeight(std::string_view parameters) {
    while (!parameters.empty()) {
        const std::size_t semicolon = parameters.find(';');
        const std::string_view parameter = trimBlanks(parameters.substr(0, semicolon));
        parameters = semicolon == std::string_view::npos ? std::string_view()
                                                         : parameters.substr(semicolon + 1);
        if (parameter.size() >= 2 && (parameter[0] == 'q' || parameter[0] == 'Q') &&
            parameter[1] == '=') {
            const std::string_view value = trimBlanks(parameter.substr(2));
            return !value.empty() && value[0] == '0' &&
                   value.find_first_not_of("0.") == std::string_view::npos;
        }
    }
    return false;
}

}  // namespace

bool acceptsGzip(std::string_view acceptEncoding) {
    std::optional<bool> gzip;
    std::optional<bool> any;
    while (!acceptEncoding.empty()) {
        const std::size_t comma = acceptEncoding.find(',');
        const std::string_view item = acceptEncoding.substr(0, comma);
        acceptEncoding =
            comma == std::string_view::npos ? std::string_view() : acceptEncoding.substr(comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view coding = trimBlanks(item.substr(0, semicolon));
        const bool acceptable =
            semicolon == std::string_view::npos || !zeroWeight(item.substr(semicolon + 1));
        if (text::equalsNoCase(coding, "gzip") || text::equalsNoCase(coding, "x-gzip")) {
            gzip = gzip.value_or(false) || acceptable;
        } else if (coding == "*") {
            any = acceptable;
        }
    }
    return gzip ? *gzip : any.value_or(false);
}

}  // namespace host
