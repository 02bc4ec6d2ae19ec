// Dates as HTTP and the feed formats write them, in UTC, from the system clock's time points:
// the HTTP date (IMF-fixdate, also RSS's and OPML's form) and ISO 8601 (Atom, JSON Feed, logs).
// A time point is shown at the second it lies in (fractions are dropped towards the past).
//
// Plain functions without state, on the standard calendar rather than the C library's, so they
// are safe from any thread and alike on every system.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace text {

using TimePoint = std::chrono::system_clock::time_point;

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::string httpDate(TimePoint time);
std::string httpDate(std::chrono::sys_seconds time);

// Reads the three forms HTTP allows (IMF-fixdate, RFC 850 with a two-digit year, asctime); day and
// month names ignore letter case. Years outside 1970-9999, impossible days or times and trailing
// text give nothing: the caller then ignores the header. Seconds, so that any year of the range
// fits.
std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view text);

// ISO 8601 in UTC, extended form: "2026-01-31T12:00:00Z".
std::string isoDate(TimePoint time);

// ISO 8601 in UTC, basic form, for file names: "20260131T120000Z".
std::string isoBasicDate(TimePoint time);

}  // namespace text
