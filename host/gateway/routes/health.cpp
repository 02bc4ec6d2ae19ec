#include "health.h"

#include <string>
#include <vector>

#include "feedFormats.h"
#include "textEncoding.h"

namespace host {

namespace {

HttpResponse probeAnswer(int status, std::string body, const char* type) {
    HttpResponse response;
    response.status = status;
    response.set("Content-Type", type);
    // A probe's answer is of this moment only.
    response.set("Cache-Control", "no-store");
    response.body = Body(std::move(body));
    return response;
}

}  // namespace

HttpResponse healthAnswer() {
    return probeAnswer(200, "ok\n", "text/plain; charset=utf-8");
}

HttpResponse readyAnswer(const PageInput& page, bool pluginReady, bool withReasons) {
    std::vector<std::string> reasons;
    if (page.problem) {
        reasons.push_back("the plug-in is not running: " + page.problem->message);
    } else if (!pluginReady) {
        reasons.emplace_back("the plug-in is starting");
    }
    for (const ChannelRow& row : page.rows) {
        const ChannelStatus& s = row.status;
        // A channel that has not finished its first fetch is on its way, not failing.
        if (s.lastSuccess || !s.fetched) {
            continue;
        }
        reasons.push_back("channel " + s.name + " has no feed: " +
                          (s.lastError.empty() ? std::string("its fetches failed") : s.lastError));
    }
    if (reasons.empty()) {
        return probeAnswer(200, "{\"ready\": true}\n", "application/json");
    }
    if (!withReasons) {
        return probeAnswer(503, "{\"ready\": false}\n", "application/json");
    }
    std::string body = "{\"ready\": false, \"reasons\": [";
    for (std::size_t i = 0; i < reasons.size(); ++i) {
        // Names and messages come from the INI file and the plug-in: Latin-1 or UTF-8.
        body += (i == 0 ? "" : ", ") + feeds::jsonQuote(feeds::iniValueToUtf8(reasons[i]));
    }
    body += "]}\n";
    return probeAnswer(503, std::move(body), "application/json");
}

}  // namespace host
