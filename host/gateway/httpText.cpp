#include "httpText.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace host {

namespace {

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A cursor over the text of a date; every step fails softly.
class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool literal(std::string_view expected) {
        if (text_.substr(pos_, expected.size()) != expected) {
            return false;
        }
        pos_ += expected.size();
        return true;
    }

    // Exactly `count` digits.
    bool digits(std::size_t count, int& value) {
        if (pos_ + count > text_.size()) {
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text_[pos_ + i];
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        pos_ += count;
        return true;
    }

    // One of `names`, letter case ignored; `index` is its position.
    template <std::size_t N>
    bool name(const std::array<std::string_view, N>& names, int& index) {
        for (std::size_t i = 0; i < N; ++i) {
            const std::string_view candidate = names[i];
            if (pos_ + candidate.size() <= text_.size() && sameLetters(candidate)) {
                pos_ += candidate.size();
                index = static_cast<int>(i);
                return true;
            }
        }
        return false;
    }

    bool time(int& hour, int& minute, int& second) {
        return digits(2, hour) && literal(":") && digits(2, minute) && literal(":") &&
               digits(2, second);
    }

    bool atEnd() const { return pos_ == text_.size(); }

  private:
    bool sameLetters(std::string_view candidate) const {
        for (std::size_t i = 0; i < candidate.size(); ++i) {
            char c = text_[pos_ + i];
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            char e = candidate[i];
            e = (e >= 'A' && e <= 'Z') ? static_cast<char>(e - 'A' + 'a') : e;
            if (c != e) {
                return false;
            }
        }
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

std::optional<std::chrono::sys_seconds> makeTime(int year, int month, int day, int hour, int minute,
                                                 int second) {
    using namespace std::chrono;
    if (year < 1970 || year > 9999 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                              std::chrono::day{unsigned(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::tm utc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

std::string imfDate(std::time_t t) {
    const std::tm tm = utc(t);
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buffer, n);
}

}  // namespace

std::string httpDate(TimePoint time) {
    return imfDate(std::chrono::system_clock::to_time_t(time));
}

std::string httpDate(std::chrono::sys_seconds time) {
    return imfDate(static_cast<std::time_t>(time.time_since_epoch().count()));
}

std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view text) {
    int weekday = 0;
    int day = 0;
    int month = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    {
        // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
        Scanner s(text);
        if (s.name(kDays, weekday) && s.literal(", ") && s.digits(2, day) && s.literal(" ") &&
            s.name(kMonths, month) && s.literal(" ") && s.digits(4, year) && s.literal(" ") &&
            s.time(hour, minute, second) && s.literal(" GMT") && s.atEnd()) {
            return makeTime(year, month + 1, day, hour, minute, second);
        }
    }
    {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year as the C library reads it.
        Scanner s(text);
        if (s.name(kLongDays, weekday) && s.literal(", ") && s.digits(2, day) && s.literal("-") &&
            s.name(kMonths, month) && s.literal("-") && s.digits(2, year) && s.literal(" ") &&
            s.time(hour, minute, second) && s.literal(" GMT") && s.atEnd()) {
            return makeTime(year + (year >= 69 ? 1900 : 2000), month + 1, day, hour, minute,
                            second);
        }
    }
    {
        // asctime: "Sun Nov  6 08:49:37 1994"
        Scanner s(text);
        if (s.name(kDays, weekday) && s.literal(" ") && s.name(kMonths, month) && s.literal(" ") &&
            (s.literal(" ") ? s.digits(1, day) : s.digits(2, day)) && s.literal(" ") &&
            s.time(hour, minute, second) && s.literal(" ") && s.digits(4, year) && s.atEnd()) {
            return makeTime(year, month + 1, day, hour, minute, second);
        }
    }
    return std::nullopt;
}

std::string isoTime(TimePoint time) {
    const std::tm tm = utc(std::chrono::system_clock::to_time_t(time));
    char buffer[32];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(buffer, n);
}

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

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (text.size() - i < 3 || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return out;
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
            return percentDecode(equals == std::string_view::npos ? std::string_view()
                                                                  : pair.substr(equals + 1));
        }
        pos = amp + 1;
    }
    return std::nullopt;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
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

std::string pathSegment(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            out += escaped;
        }
    }
    return out;
}

std::string headerSafe(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += ' ';
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
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

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
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
        if (equalsNoCase(coding, "gzip") || equalsNoCase(coding, "x-gzip")) {
            gzip = gzip.value_or(false) || acceptable;
        } else if (coding == "*") {
            any = acceptable;
        }
    }
    return gzip ? *gzip : any.value_or(false);
}

}  // namespace host
