// Reads arbitrary interval answers. Checks the result against a plain reading of the rule: the
// digits written directly before the first "</int>" (in the text up to a zero byte), as minutes
// in seconds, saturated rather than overflowing; the default without "</int>".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "fuzzCheck.h"
#include "updateIntervals.h"

namespace {

// Scans forwards once, remembering where the current run of digits began.
std::int64_t expectedSeconds(const char* text, std::size_t size) {
    constexpr std::string_view kClose = "</int>";
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < size && text[i] != '\0'; ++i) {
        if (i + kClose.size() <= size && std::memcmp(text + i, kClose.data(), kClose.size()) == 0) {
            constexpr std::int64_t kMaxMinutes = std::numeric_limits<std::int32_t>::max() / 60;
            std::int64_t minutes = 0;
            for (std::size_t d = runStart; d < i; ++d) {
                minutes = minutes * 10 + (text[d] - '0');
                if (minutes > kMaxMinutes) {
                    minutes = kMaxMinutes;
                }
            }
            return minutes * 60;
        }
        if (text[i] < '0' || text[i] > '9') {
            runStart = i + 1;
        }
    }
    return plugin::kDefaultInterval;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::int32_t seconds = plugin::parseIntervalAnswer(std::string_view(text, size));
    FUZZ_CHECK(seconds >= 0 && seconds % 60 == 0);
    FUZZ_CHECK(seconds == expectedSeconds(text, size));
    return 0;
}
