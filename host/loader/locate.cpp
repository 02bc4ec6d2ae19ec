#include "locate.h"

#include <system_error>

#include "hostError.h"
#include "nativeLibrary.h"

namespace fs = std::filesystem;

namespace host {

fs::path programDirectory() {
    return runningProgramPath().parent_path();
}

std::vector<fs::path> defaultPluginCandidates(const fs::path& programDir) {
    std::vector<fs::path> candidates;
    if (!programDir.empty()) {
        candidates.push_back(
            (programDir / DOVETRAIL_BIN_TO_LIB / DOVETRAIL_PLUGIN_FILE_NAME).lexically_normal());
    }
    candidates.emplace_back(DOVETRAIL_BUILD_PLUGIN);
    return candidates;
}

std::vector<fs::path> defaultConfigCandidates(const fs::path& programDir) {
    std::vector<fs::path> candidates;
    if (!programDir.empty()) {
        candidates.push_back(
            (programDir / DOVETRAIL_BIN_TO_EXAMPLES / "dovetrail.ini").lexically_normal());
    }
    candidates.push_back(fs::path(DOVETRAIL_BUILD_EXAMPLES) / "dovetrail.ini");
    return candidates;
}

fs::path firstExisting(const std::vector<fs::path>& candidates, const std::string& what,
                       const std::string& option, int exitCode) {
    std::string tried;
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error)) {
            return candidate;
        }
        tried += (tried.empty() ? "" : ", ") + candidate.string();
    }
    throw HostError(exitCode, "Can't find " + what + "; looked for " + tried + ". Name one with " +
                                  option + ".");
}

}  // namespace host
