// Small text helpers of the gateway: entity-tag matching, query values, and the escaping of texts
// for HTML and header values. Dates, percent encoding and log-safe text are the text library's.
//
// Plain functions without shared state; safe from any thread. None throws on any input.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "textDates.h"

namespace host {

using text::TimePoint;

// Whether an If-None-Match value (a list of tags, or "*") matches `etag` (weak comparison).
bool etagMatches(std::string_view ifNoneMatch, std::string_view etag);

// The value of the first `name=value` pair of a query, strictly percent-decoded; nothing when
// absent or undecodable.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

// Text with &, <, >, " and ' escaped for HTML.
std::string htmlEscape(std::string_view text);

// A duration for a message: "1 second", "120 seconds", "0.3 seconds".
std::string secondsText(std::chrono::milliseconds duration);

// Whether an Accept-Encoding value accepts gzip: "gzip" or "x-gzip" with a quality above 0, or
// "*" with one and no gzip listed at 0.
bool acceptsGzip(std::string_view acceptEncoding);

// Whether `text` holds a control byte (below 0x20, or 0x7F).
bool hasControlByte(std::string_view text);

}  // namespace host
