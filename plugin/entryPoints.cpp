// The library's only export and the six entry points it hands out. Each entry point runs its work
// through plugin::guarded, so every failure reaches the host as a status code and a message.
#include <cstddef>
#include <string>
#include <type_traits>

#include "cBoundary.h"
#include "channelConfig.h"
#include "dovetrail/dovetrail.h"
#include "mainPage.h"
#include "pluginState.h"

namespace {

// The layout 32-bit hosts were compiled against: a 4-byte version, then six 4-byte pointers.
// Elsewhere the same rule with the pointer's own size, so a field added or moved fails both.
constexpr std::size_t kPointer = sizeof(void*);
static_assert(offsetof(PluginInfo, version) == 0);
static_assert(offsetof(PluginInfo, plugin_init) == kPointer);
static_assert(offsetof(PluginInfo, plugin_term) == 2 * kPointer);
static_assert(offsetof(PluginInfo, plugin_alloc) == 3 * kPointer);
static_assert(offsetof(PluginInfo, plugin_free) == 4 * kPointer);
static_assert(offsetof(PluginInfo, plugin_get_main_page) == 5 * kPointer);
static_assert(offsetof(PluginInfo, plugin_get_channel) == 6 * kPointer);
static_assert(sizeof(PluginInfo) == 7 * kPointer);
static_assert(kPointer != 4 || sizeof(PluginInfo) == 28);

#if defined(_WIN32) && !defined(_WIN64)
// 32-bit hosts call every entry point as cdecl; to the compiler another convention is another
// type, so a change of DOVETRAIL_CALL (or of a default like -mrtd) fails here, not in a host.
#define DOVETRAIL_CDECL __attribute__((cdecl))
static_assert(std::is_same_v<plugin_init_fn, int32_t(DOVETRAIL_CDECL*)(const char*, void*)>);
static_assert(std::is_same_v<plugin_term_fn, int32_t(DOVETRAIL_CDECL*)(void)>);
static_assert(std::is_same_v<plugin_alloc_fn, void*(DOVETRAIL_CDECL*)(uint32_t)>);
static_assert(std::is_same_v<plugin_free_fn, void(DOVETRAIL_CDECL*)(void*)>);
static_assert(std::is_same_v<plugin_get_main_page_fn,
                             int32_t(DOVETRAIL_CDECL*)(char**, uint32_t*, char*)>);
static_assert(std::is_same_v<plugin_get_channel_fn, int32_t(DOVETRAIL_CDECL*)(
                                                        const char*, uint32_t, char**, uint32_t*,
                                                        char*)>);
static_assert(std::is_same_v<get_app_plugin_info_fn, void(DOVETRAIL_CDECL*)(PluginInfo*)>);
#undef DOVETRAIL_CDECL
#endif

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
