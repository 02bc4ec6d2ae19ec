#include "updateIntervals.h"

#include <cstring>
#include <limits>
#include <vector>

#include "ini.h"
#include "net.h"

namespace plugin {

std::int32_t parseIntervalAnswer(std::string_view body) {
    body = body.substr(0, std::min(body.size(), body.find('\0')));
    const std::size_t close = body.find("</int>");
    if (close == std::string_view::npos) {
        return kDefaultInterval;
    }
    std::size_t start = close;
    while (start > 0 && body[start - 1] >= '0' && body[start - 1] <= '9') {
        --start;
    }
    // Saturate instead of overflowing: an absurd answer must not turn into a negative interval.
    constexpr std::int64_t kMaxMinutes = std::numeric_limits<std::int32_t>::max() / 60;
    std::int64_t minutes = 0;
    for (std::size_t i = start; i < close; ++i) {
        minutes = std::min<std::int64_t>(minutes * 10 + (body[i] - '0'), kMaxMinutes);
    }
    return static_cast<std::int32_t>(minutes * 60);
}

std::int32_t queryMinUpdateInterval(const StateSnapshot& state, const std::string& iniKey) {
    const std::string host = tools::getIniString(state.configPath, "Config", "HostName", "", true);
    if (host.empty()) {
        return kDefaultInterval;
    }
    const std::string path = tools::getIniString(state.configPath, "Config", iniKey, "", true);
    std::vector<char> body;
    tools::downloadUrl(state.session, host + "/" + path, body);
    return parseIntervalAnswer(std::string_view(body.data(), body.size()));
}

}  // namespace plugin
