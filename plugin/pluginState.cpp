#include "pluginState.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>

#include "cBoundary.h"
#include "log.h"
#include "msgGroup.h"
#include "net.h"
#include "platform/path.h"
#include "updateIntervals.h"

namespace plugin {

namespace {

// Constructed at load, before the message log exists, so that it is destroyed after the log at
// unload and the log never points at a closed file.
std::ofstream logFile;
bool logFileOpened = false;

std::mutex lifecycleMutex;  // one plugin_init or plugin_term at a time
std::shared_mutex stateMutex;
StateSnapshot state;

std::string directoryOf(const std::string& path) {
    const platform::PathParts parts = platform::splitPath(path);
    return platform::makePath(parts.drive, parts.directory, "", "");
}

}  // namespace

StateSnapshot snapshot() {
    std::shared_lock lock(stateMutex);
    return state;
}

std::int32_t initialise(const std::string& configPath, void* initResult) {
    std::lock_guard lifecycle(lifecycleMutex);
    armAllocationFailures();

    const std::string directory = directoryOf(configPath);
    {
        std::unique_lock lock(stateMutex);
        state.configPath = configPath;
        state.directory = directory;
    }

    // The first initialisation of the process chooses the log file; later ones keep writing to it.
    if (!logFileOpened) {
        logFileOpened = true;
        logFile.open(platform::makePath("", directory, "Dovetrail.log", ""),
                     std::ios::out | std::ios::trunc);
    }
    configureMessageLog(theMessageLog(), logFile,
                        platform::makePath("", directory, "Dovetrail.debug", ""));

    std::shared_ptr<platform::InternetSession> session =
        platform::InternetSession::open(kAgentName);
    if (!session) {
        copyErrorText("Can't open an internet connection: " + tools::win32ErrorText(), initResult);
        return DOVETRAIL_STATUS_NO_INTERNET;
    }
    {
        // Requests still running keep the session they took; it closes when the last one ends.
        std::unique_lock lock(stateMutex);
        state.session = session;
    }

    const StateSnapshot current = snapshot();
    const struct {
        const char* key;
        std::int32_t Intervals::*field;
    } queries[] = {
        {"GetLoungeLatestUpdatePeriodUrl", &Intervals::lounge},
        {"GetCommentLatestUpdatePeriodUrl", &Intervals::messageBoards},
        {"GetArticleLatestUpdatePeriodUrl", &Intervals::articles},
    };
    for (const auto& query : queries) {
        const std::int32_t seconds = queryMinUpdateInterval(current, query.key);
        std::unique_lock lock(stateMutex);
        state.intervals.*query.field = seconds;
    }

    const Intervals intervals = snapshot().intervals;
    if (initResult != nullptr) {
        const std::int32_t values[3] = {intervals.lounge, intervals.messageBoards,
                                        intervals.articles};
        std::memcpy(initResult, values, sizeof values);
    }
    return DOVETRAIL_STATUS_OK;
}

std::int32_t terminate() {
    std::lock_guard lifecycle(lifecycleMutex);
    std::unique_lock lock(stateMutex);
    state.session.reset();
    return DOVETRAIL_STATUS_OK;
}

}  // namespace plugin
