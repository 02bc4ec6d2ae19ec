// The access log: one line per answer, e.g.
//   2026-12-08T15:30:00Z 127.0.0.1 "GET /channels/lounge.rss HTTP/1.1" 200 1834 0.4ms
// with the request's method and target made printable.
//
// Plain functions; safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "httpMessage.h"

namespace host {

// The line for one answer, without its line end, dated `now`.
std::string accessLogLine(const HttpRequest& request, const HttpResponse& response,
                          std::size_t bytesSent, std::chrono::microseconds elapsed,
                          std::chrono::system_clock::time_point now);

// Writes one line and its line end to standard error in a single write.
void writeErrorLine(const std::string& line);

}  // namespace host
