#include "textDates.h"

#include <array>
#include <cstddef>

#include "textCase.h"

namespace text {

namespace {

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct CivilTime {
    int year;
    unsigned month, day, weekday, hour, minute, second;
};

CivilTime civil(std::chrono::sys_seconds time) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(time);
    const year_month_day date{days};
    const hh_mm_ss<std::chrono::seconds> clock{time - days};
    return CivilTime{static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()),
                     static_cast<unsigned>(date.day()),
                     weekday{days}.c_encoding(),
                     static_cast<unsigned>(clock.hours().count()),
                     static_cast<unsigned>(clock.minutes().count()),
                     static_cast<unsigned>(clock.seconds().count())};
}

CivilTime civil(TimePoint time) {
    return civil(std::chrono::floor<std::chrono::seconds>(time));
}

// At least `width` digits, zero-padded; a negative year keeps its sign in front.
void appendNumber(std::string& out, long long value, std::size_t width) {
    if (value < 0) {
        out += '-';
        value = -value;
        width = width > 0 ? width - 1 : 0;
    }
    const std::string digits = std::to_string(value);
    out.append(digits.size() < width ? width - digits.size() : 0, '0');
    out += digits;
}

std::string imfFixdate(const CivilTime& t) {
    std::string out(kDays[t.weekday]);
    out += ", ";
    appendNumber(out, t.day, 2);
    out += ' ';
    out += kMonths[t.month - 1];
    out += ' ';
    appendNumber(out, t.year, 4);
    out += ' ';
    appendNumber(out, t.hour, 2);
    out += ':';
    appendNumber(out, t.minute, 2);
    out += ':';
    appendNumber(out, t.second, 2);
    out += " GMT";
    return out;
}

std::string iso(const CivilTime& t, bool extended) {
    const std::string_view dateSeparator = extended ? "-" : "";
    const std::string_view timeSeparator = extended ? ":" : "";
    std::string out;
    appendNumber(out, t.year, 4);
    out += dateSeparator;
    appendNumber(out, t.month, 2);
    out += dateSeparator;
    appendNumber(out, t.day, 2);
    out += 'T';
    appendNumber(out, t.hour, 2);
    out += timeSeparator;
    appendNumber(out, t.minute, 2);
    out += timeSeparator;
    appendNumber(out, t.second, 2);
    out += 'Z';
    return out;
}

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
            if (equalsNoCase(text_.substr(pos_, names[i].size()), names[i])) {
                pos_ += names[i].size();
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

}  // namespace

std::string httpDate(TimePoint time) {
    return imfFixdate(civil(time));
}

std::string httpDate(std::chrono::sys_seconds time) {
    return imfFixdate(civil(time));
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

std::string isoDate(TimePoint time) {
    return iso(civil(time), true);
}

std::string isoBasicDate(TimePoint time) {
    return iso(civil(time), false);
}

}  // namespace text
