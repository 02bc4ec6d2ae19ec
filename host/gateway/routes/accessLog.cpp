#include "accessLog.h"

#include <cstdio>
#include <ctime>

#include "textDates.h"
#include "textEscape.h"

namespace host {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "10/Dec/2026:15:30:00 +0000" (the combined format's) or the ISO date, formatted once per second
// and thread: a busy gateway logs thousands of lines a second.
const std::string& logTime(AccessLogFormat format, std::chrono::system_clock::time_point now) {
    thread_local std::time_t shownSecond = -1;
    thread_local AccessLogFormat shownFormat = AccessLogFormat::combined;
    thread_local std::string shown;
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != shownSecond || format != shownFormat) {
        shownSecond = second;
        shownFormat = format;
        shown = text::isoDate(now);  // 2026-12-10T15:30:00Z
        if (format == AccessLogFormat::combined && shown.size() == 20) {
            const int month = std::stoi(shown.substr(5, 2));
            shown = shown.substr(8, 2) + "/" + kMonths[(month + 11) % 12] + "/" +
                    shown.substr(0, 4) + ":" + shown.substr(11, 8) + " +0000";
        }
    }
    return shown;
}

// The target with the value of each `key` parameter replaced by "-".
std::string withoutKey(std::string_view target) {
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos ||
        target.find("key=", question) == std::string_view::npos) {
        return std::string(target);
    }
    std::string out(target.substr(0, question + 1));
    std::string_view query = target.substr(question + 1);
    bool first = true;
    while (true) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        out += first ? "" : "&";
        first = false;
        out += pair.substr(0, 4) == "key=" || pair == "key" ? std::string_view("key=-") : pair;
        if (end == std::string_view::npos) {
            return out;
        }
        query.remove_prefix(end + 1);
    }
}

// A JSON string of printable ASCII: every other byte as \u00HH (bytes from a client need not be
// UTF-8, and a line must stay one line).
void appendJson(std::string& out, std::string_view bytes) {
    out += '"';
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            out += "\\u00";
            text::appendHexByte(out, u);
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string_view headerOr(const HttpRequest& request, std::string_view name) {
    const std::string* value = request.header(name);
    return value == nullptr ? std::string_view() : std::string_view(*value);
}

std::string combinedLine(const HttpRequest& request, const HttpResponse& response,
                         std::size_t bytesSent, std::chrono::system_clock::time_point now) {
    const auto quoted = [](std::string& line, std::string_view text) {
        line += '"';
        line += text.empty() ? "-" : text::printable(text);
        line += '"';
    };
    std::string line;
    line.reserve(160 + request.target.size());
    line += request.peer.empty() ? "-" : text::printable(request.peer);
    line += " - - [";
    line += logTime(AccessLogFormat::combined, now);
    line += "] \"";
    if (request.method.empty()) {
        line += '-';
    } else {
        line += text::printable(request.method);
        line += ' ';
        line += text::printable(withoutKey(request.target));
        line += ' ';
        line += request.version();
    }
    line += "\" ";
    line += std::to_string(response.status);
    line += ' ';
    line += bytesSent == 0 ? std::string("-") : std::to_string(bytesSent);
    line += ' ';
    quoted(line, headerOr(request, "Referer"));
    line += ' ';
    quoted(line, headerOr(request, "User-Agent"));
    return line;
}

std::string jsonLine(const HttpRequest& request, const HttpResponse& response,
                     std::size_t bytesSent, std::chrono::microseconds elapsed,
                     std::chrono::system_clock::time_point now) {
    std::string line;
    line.reserve(200 + request.target.size());
    line += "{\"time\": \"";
    line += logTime(AccessLogFormat::json, now);
    line += "\", \"remote\": ";
    appendJson(line, request.peer);
    line += ", \"method\": ";
    appendJson(line, request.method);
    line += ", \"target\": ";
    appendJson(line, withoutKey(request.target));
    line += ", \"protocol\": ";
    appendJson(line, request.method.empty() ? std::string() : request.version());
    line += ", \"status\": " + std::to_string(response.status);
    line += ", \"bytes\": " + std::to_string(bytesSent);
    line += ", \"referer\": ";
    appendJson(line, headerOr(request, "Referer"));
    line += ", \"userAgent\": ";
    appendJson(line, headerOr(request, "User-Agent"));
    char ms[48];
    std::snprintf(ms, sizeof ms, ", \"durationMs\": %.1f}",
                  static_cast<double>(elapsed.count()) / 1000.0);
    line += ms;
    return line;
}

}  // namespace

std::optional<AccessLogFormat> parseAccessLogFormat(std::string_view name) {
    if (name == "combined") {
        return AccessLogFormat::combined;
    }
    if (name == "json") {
        return AccessLogFormat::json;
    }
    return std::nullopt;
}

std::string accessLogLine(AccessLogFormat format, const HttpRequest& request,
                          const HttpResponse& response, std::size_t bytesSent,
                          std::chrono::microseconds elapsed,
                          std::chrono::system_clock::time_point now) {
    return format == AccessLogFormat::json ? jsonLine(request, response, bytesSent, elapsed, now)
                                           : combinedLine(request, response, bytesSent, now);
}

void writeErrorLine(const std::string& line) {
    std::string out = line;
    out += '\n';
    // Standard error is unbuffered: one call, one write, so concurrent lines do not mix.
    std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace host
