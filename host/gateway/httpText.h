// Small text helpers of the gateway: HTTP dates, entity-tag matching, percent decoding, and the
// escaping of texts for JSON, HTML and log lines.
//
// Plain functions without shared state; safe from any thread. None throws on any input.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace host {

using TimePoint = std::chrono::system_clock::time_point;

// An HTTP date (IMF-fixdate): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string httpDate(TimePoint time);
std::string httpDate(std::chrono::sys_seconds time);

// Reads the three forms HTTP allows (IMF-fixdate, RFC 850 with a two-digit year, asctime). Years
// outside 1970-9999, impossible days or times and trailing text give nothing: the caller then
// ignores the header. Seconds, so that any year of the range fits.
std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view text);

// "2026-01-31T12:00:00Z"
std::string isoTime(TimePoint time);

// Whether an If-None-Match value (a list of tags, or "*") matches `etag` (weak comparison).
bool etagMatches(std::string_view ifNoneMatch, std::string_view etag);

// Decodes %XX escapes; nothing when an escape is incomplete or not hexadecimal. '+' stays '+'.
std::optional<std::string> percentDecode(std::string_view text);

// The decoded value of the first `name=value` pair of a query; nothing when absent or undecodable.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

// Text for one log line: control bytes, bytes above 126, quotes and backslashes as \xHH.
std::string printable(std::string_view text);

// Text with &, <, >, " and ' escaped for HTML.
std::string htmlEscape(std::string_view text);

// Percent-encodes everything but unreserved characters, for a name inside a link.
std::string pathSegment(std::string_view text);

// Makes a text safe inside a quoted header value: control bytes become blanks, quotes and
// backslashes are escaped.
std::string headerSafe(std::string_view text);

// A duration for a message: "1 second", "120 seconds", "0.3 seconds".
std::string secondsText(std::chrono::milliseconds duration);

// Whether an Accept-Encoding value accepts gzip: "gzip" or "x-gzip" with a quality above 0, or
// "*" with one and no gzip listed at 0.
bool acceptsGzip(std::string_view acceptEncoding);

// Whether `text` holds a control byte (below 0x20, or 0x7F).
bool hasControlByte(std::string_view text);

}  // namespace host
