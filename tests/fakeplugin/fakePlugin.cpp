#include "fakePlugin.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dovetrail/dovetrail.h"

namespace {

FakePluginControl control;

void writeError(char* area, const std::string& text) {
    std::memset(area, 0, DOVETRAIL_ERROR_TEXT_SIZE);
    if (control.errorFillsBuffer) {
        std::memset(area, 'E', DOVETRAIL_ERROR_TEXT_SIZE);
        return;
    }
    std::memcpy(area, text.data(),
                std::min<std::size_t>(text.size(), DOVETRAIL_ERROR_TEXT_SIZE - 1));
}

int32_t handOver(const std::string& text, char** out, uint32_t* length) {
    char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(buffer, text.data(), text.size());
    *out = buffer;
    *length = static_cast<uint32_t>(text.size());
    ++control.buffersHandedOut;
    return DOVETRAIL_STATUS_OK;
}

struct InFlight {
    InFlight() {
        const int now = ++control.inFlight;
        int seen = control.maxInFlight.load();
        while (now > seen && !control.maxInFlight.compare_exchange_weak(seen, now)) {
        }
    }
    ~InFlight() { --control.inFlight; }
};

int32_t fakeInit(const char* configPath, void* initResult) {
    ++control.initCalls;
    std::lock_guard<std::mutex> lock(control.mutex);
    control.lastConfigPath = configPath;
    if (control.initStatus != DOVETRAIL_STATUS_OK) {
        writeError(static_cast<char*>(initResult), control.initError);
        return control.initStatus;
    }
    std::memcpy(initResult, control.intervals, sizeof control.intervals);
    return DOVETRAIL_STATUS_OK;
}

int32_t fakeTerm() {
    control.inFlightAtTerm = control.inFlight.load();
    ++control.termCalls;
    return DOVETRAIL_STATUS_OK;
}

void* fakeAlloc(uint32_t size) {
    return std::malloc(size);
}

void fakeFree(void* block) {
    ++control.buffersFreed;
    std::free(block);
}

int32_t fakeMainPage(char** text, uint32_t* length, char* errorText) {
    ++control.mainPageCalls;
    std::lock_guard<std::mutex> lock(control.mutex);
    if (control.mainPageStatus != DOVETRAIL_STATUS_OK) {
        writeError(errorText, "Can't open the Dovetrail main page template file.");
        return control.mainPageStatus;
    }
    return handOver(control.mainPage, text, length);
}

int32_t fakeChannel(const char* name, uint32_t, char** text, uint32_t* length, char* errorText) {
    ++control.channelCalls;
    InFlight inFlight;
    std::this_thread::sleep_for(std::chrono::milliseconds(control.delayMilliseconds.load()));
    std::lock_guard<std::mutex> lock(control.mutex);
    const std::string channel = name;
    if (channel.rfind("unknown", 0) == 0) {
        writeError(errorText, "Unknown channel: " + channel);
        return DOVETRAIL_STATUS_UNKNOWN_CHANNEL;
    }
    if (control.channelStatus != DOVETRAIL_STATUS_OK) {
        if (control.channelStatus != DOVETRAIL_STATUS_NO_MEMORY) {
            writeError(errorText, control.channelError);
        }
        return control.channelStatus;
    }
    return handOver(control.channelPrefix + channel + "#" + std::to_string(control.contentVersion) +
                        control.channelSuffix,
                    text, length);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) FakePluginControl* fake_plugin_control() {
    return &control;
}

__attribute__((visibility("default"))) void get_app_plugin_info(PluginInfo* info) {
    info->version = control.version;
    info->plugin_init = fakeInit;
    info->plugin_term = fakeTerm;
    info->plugin_alloc = fakeAlloc;
    info->plugin_free = fakeFree;
    info->plugin_get_main_page = fakeMainPage;
    info->plugin_get_channel = fakeChannel;
}

}  // extern "C"
