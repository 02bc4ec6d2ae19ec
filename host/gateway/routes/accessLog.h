// The access log: one line per answer, in one of two formats.
//
//   combined  the format web servers write and log tools read (goaccess, fail2ban, awstats):
//     127.0.0.1 - - [08/Dec/2026:15:30:00 +0000] "GET /channels/lounge.rss HTTP/1.1" 200 1834 "-"
//     "newsboat/2.30"
//   json      one object a line for tools that read fields:
//     {"time": "2026-12-08T15:30:00Z", "remote": "127.0.0.1", "method": "GET", "target": ...,
//      "protocol": "HTTP/1.1", "status": 200, "bytes": 1834, "referer": "", "userAgent": "...",
//      "durationMs": 0.4}
//
// - Only printable ASCII reaches the log: what a client sent is escaped (\xHH in the combined
//   format, \u00HH in JSON), so no request can forge or break a line.
// - An access key in the target (?key=KEY) is logged as key=- : logs are read by more people and
//   tools than the key file.
// - bytes: the body bytes sent ("-" for none in the combined format, as web servers write).
//
// Plain functions; safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "httpMessage.h"

namespace host {

enum class AccessLogFormat { combined, json };

// "combined" or "json"; nothing for any other name.
std::optional<AccessLogFormat> parseAccessLogFormat(std::string_view name);

// The line for one answer, without its line end, dated `now`.
std::string accessLogLine(AccessLogFormat format, const HttpRequest& request,
                          const HttpResponse& response, std::size_t bytesSent,
                          std::chrono::microseconds elapsed,
                          std::chrono::system_clock::time_point now);

// Writes one line and its line end to standard error in a single write.
void writeErrorLine(const std::string& line);

}  // namespace host
