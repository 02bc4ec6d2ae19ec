#include "pluginState.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>

#include "cBoundary.h"
#include "log.h"
#include "msgGroup.h"
#include "net.h"
#include "programAbort.h"
#include "platform/error.h"
#include "platform/path.h"
#include "testSeams.h"
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

// Destroyed before `state`: a host that unloads the library without plugin_term (or the exit of a
// fatal abort) must not close the internet session from a static destructor, which on Windows
// runs under the system's loader lock, where closing it can wait on threads that cannot run.
struct SessionAtUnload {
    SessionAtUnload() = default;
    SessionAtUnload(const SessionAtUnload&) = delete;
    SessionAtUnload& operator=(const SessionAtUnload&) = delete;
    ~SessionAtUnload() { platform::InternetSession::releaseAtUnload(std::move(state.session)); }
} sessionAtUnload;

// The log file's path, set once by the first plugin_init and then published, so the abort's
// writer can read it from any thread.
std::string logPathText;
std::atomic<const std::string*> logPath{nullptr};
struct ForgetLogPathAtUnload {
    ForgetLogPathAtUnload() = default;
    ForgetLogPathAtUnload(const ForgetLogPathAtUnload&) = delete;
    ForgetLogPathAtUnload& operator=(const ForgetLogPathAtUnload&) = delete;
    ~ForgetLogPathAtUnload() { logPath.store(nullptr); }
} forgetLogPathAtUnload;

// A fatal abort's report goes to the log through a handle of its own: another thread may hold the
// log's lock for good, which is often why the process aborts.
void writeAbortReport(const std::string& report) noexcept {
    const std::string* path = logPath.load();
    std::FILE* file = path != nullptr ? std::fopen(path->c_str(), "ab") : nullptr;
    if (file == nullptr) {
        return;
    }
    const std::string text = "PROGRAM ABORT\n" + report + (report.ends_with('\n') ? "" : "\n");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

// Windows' INI functions take a UTF-8 byte order mark for part of the first line, so a file saved
// "UTF-8 with BOM" loses its first section there. Said once per file in the log, where a user who
// wonders why a setting is ignored looks.
void warnOfByteOrderMark(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char start[3] = {};
    if (!file.read(start, sizeof start) || start[0] != '\xEF' || start[1] != '\xBB' ||
        start[2] != '\xBF') {
        return;
    }
    CWriteLockGuard guard(theMessageLog().messageLock());
    theMessageLog(nullptr, __FILE__, __LINE__)
        << "Warning: " << path
        << " starts with a UTF-8 byte order mark: Windows does not read its first section;"
           " save it without the mark"
        << std::endl;
}

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
    const seams::Faults faults = seams::currentFaults();
    limitAllocations(faults.allocationsAllowed);

    const std::string directory = directoryOf(configPath);
    {
        std::unique_lock lock(stateMutex);
        state.configPath = configPath;
        state.directory = directory;
    }

    // The first initialisation of the process chooses the log file; later ones keep writing to it.
    if (!logFileOpened) {
        logFileOpened = true;
        logPathText = platform::makePath("", directory, "Dovetrail.log", "");
        logFile.open(logPathText, std::ios::out | std::ios::trunc);
        logPath.store(&logPathText);
        misc::setAbortReportWriter(&writeAbortReport);
    }
    const std::string debugPath = platform::makePath("", directory, "Dovetrail.debug", "");
    configureMessageLog(theMessageLog(), logFile, debugPath);
    warnOfByteOrderMark(configPath);
    warnOfByteOrderMark(debugPath);

    std::shared_ptr<platform::InternetSession> session;
    if (faults.internetOpenError != 0) {
        platform::setLastError(faults.internetOpenError);
    } else {
        session = platform::InternetSession::open(kAgentName);
    }
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
