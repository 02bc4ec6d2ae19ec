#include "accessLog.h"

#include <cstdio>
#include <ctime>

#include "textDates.h"
#include "textEscape.h"

namespace host {

namespace {

// The time of day as the access log shows it, formatted once per second and thread.
const std::string& logTime(std::chrono::system_clock::time_point now) {
    thread_local std::time_t shownSecond = -1;
    thread_local std::string shown;
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != shownSecond) {
        shownSecond = second;
        shown = text::isoDate(now);
    }
    return shown;
}

}  // namespace

std::string accessLogLine(const HttpRequest& request, const HttpResponse& response,
                          std::size_t bytesSent, std::chrono::microseconds elapsed,
                          std::chrono::system_clock::time_point now) {
    std::string line;
    line.reserve(128 + request.target.size());
    line += logTime(now);
    line += ' ';
    line += request.peer.empty() ? "-" : request.peer;
    line += " \"";
    if (request.method.empty()) {
        line += '-';
    } else {
        line += text::printable(request.method);
        line += ' ';
        line += text::printable(request.target);
        line += ' ';
        line += request.version();
    }
    line += "\" ";
    line += std::to_string(response.status);
    line += ' ';
    line += std::to_string(bytesSent);
    char ms[32];
    std::snprintf(ms, sizeof ms, " %.1fms", static_cast<double>(elapsed.count()) / 1000.0);
    line += ms;
    return line;
}

void writeErrorLine(const std::string& line) {
    std::string out = line;
    out += '\n';
    // Standard error is unbuffered: one call, one write, so concurrent lines do not mix.
    std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace host
