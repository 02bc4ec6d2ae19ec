// The library's only export and the six entry points it hands out. Each entry point runs its work
// through plugin::guarded, so every failure reaches the host as a status code and a message.
#include <string>

#include "cBoundary.h"
#include "channelConfig.h"
#include "dovetrail/dovetrail.h"
#include "mainPage.h"
#include "pluginState.h"

namespace {

// A null name from a host is treated as the empty name rather than dereferenced.
std::string textOrEmpty(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

extern "C" {

int32_t DOVETRAIL_CALL pluginInit(const char* configPath, void* initResult) {
    return plugin::guarded(initResult,
                           [&] { return plugin::initialise(textOrEmpty(configPath), initResult); });
}

int32_t DOVETRAIL_CALL pluginTerm(void) {
    return plugin::guarded(nullptr, [] { return plugin::terminate(); });
}

void* DOVETRAIL_CALL pluginAlloc(uint32_t size) { return plugin::allocate(size); }

void DOVETRAIL_CALL pluginFree(void* block) { plugin::release(block); }

int32_t DOVETRAIL_CALL pluginGetMainPage(char** text, uint32_t* length, char* errorText) {
    return plugin::guarded(errorText,
                           [&] { return plugin::getMainPage(text, length, errorText); });
}

int32_t DOVETRAIL_CALL pluginGetChannel(const char* channelName, uint32_t /*unused*/, char** text,
                                        uint32_t* length, char* errorText) {
    return plugin::guarded(errorText, [&] {
        return plugin::getChannel(textOrEmpty(channelName), text, length, errorText);
    });
}

}  // extern "C"

}  // namespace

extern "C" DOVETRAIL_EXPORT void DOVETRAIL_CALL get_app_plugin_info(PluginInfo* info) {
    if (info == nullptr) {
        return;
    }
    info->version = DOVETRAIL_INTERFACE_VERSION;
    info->plugin_init = pluginInit;
    info->plugin_term = pluginTerm;
    info->plugin_alloc = pluginAlloc;
    info->plugin_free = pluginFree;
    info->plugin_get_main_page = pluginGetMainPage;
    info->plugin_get_channel = pluginGetChannel;
}
