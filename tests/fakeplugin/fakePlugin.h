// A stand-in plug-in for the host's tests: a shared library with the real C interface whose
// behaviour the test steers through fake_plugin_control() and whose calls it counts.
//
// The test and the library share one C++ runtime, so the control block is a plain C++ object.
// Load the library with dlopen first, take the control block, then hand the same path to the code
// under test: dlopen returns the already loaded copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "dovetrail/dovetrail.h"

struct FakePluginControl {
    std::mutex mutex;  // guards the strings and plain fields below
    int32_t version = 1;
    int32_t initStatus = DOVETRAIL_STATUS_OK;
    std::string initError;
    int32_t intervals[3] = {60, 120, 180};
    std::string lastConfigPath;
    // Channel answers: "unknown*" names give DOVETRAIL_STATUS_UNKNOWN_CHANNEL; otherwise
    // channelStatus with channelError, or the text channelPrefix + name + "#" + contentVersion +
    // channelSuffix.
    int32_t channelStatus = DOVETRAIL_STATUS_OK;
    std::string channelError;
    std::string channelPrefix = "<RSS>";
    std::string channelSuffix;
    int contentVersion = 1;
    bool errorFillsBuffer = false;  // write 1024 non-zero bytes as the error text
    int32_t mainPageStatus = DOVETRAIL_STATUS_OK;
    std::string mainPage = "<html>main page</html>";
    std::atomic<int> delayMilliseconds{0};

    std::atomic<int> initCalls{0};
    std::atomic<int> termCalls{0};
    std::atomic<int> channelCalls{0};
    std::atomic<int> mainPageCalls{0};
    std::atomic<int> buffersHandedOut{0};
    std::atomic<int> buffersFreed{0};
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    std::atomic<int> inFlightAtTerm{-1};  // content calls running when plugin_term came

    void reset();
};

// Back to the defaults, counters zero.
inline void FakePluginControl::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    version = 1;
    initStatus = DOVETRAIL_STATUS_OK;
    initError.clear();
    intervals[0] = 60;
    intervals[1] = 120;
    intervals[2] = 180;
    lastConfigPath.clear();
    channelStatus = DOVETRAIL_STATUS_OK;
    channelError.clear();
    channelPrefix = "<RSS>";
    channelSuffix.clear();
    contentVersion = 1;
    errorFillsBuffer = false;
    mainPageStatus = DOVETRAIL_STATUS_OK;
    mainPage = "<html>main page</html>";
    delayMilliseconds = 0;
    for (std::atomic<int>* counter : {&initCalls, &termCalls, &channelCalls, &mainPageCalls,
                                      &buffersHandedOut, &buffersFreed, &inFlight, &maxInFlight}) {
        *counter = 0;
    }
    inFlightAtTerm = -1;
}

using fake_plugin_control_fn = FakePluginControl* (*)();
