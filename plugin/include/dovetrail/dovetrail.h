/* The plug-in's C interface, for hosts.
 *
 * The library exports one function, get_app_plugin_info, which fills the host's PluginInfo with
 * the interface version (1) and six entry points. Call plugin_init first, then any number of
 * plugin_get_main_page and plugin_get_channel calls (from any threads), then plugin_term.
 *
 * Status codes returned by the entry points (the DOVETRAIL_STATUS_* constants below):
 *   0  OK: success: the out-parameters or the init result were written.
 *   1  FAILED: the request failed (configuration, download or XML error); the error text says why.
 *   2  NO_MEMORY: the output buffer could not be allocated; the error text is left as it was.
 *   3  NO_TEMPLATE: the main-page template file cannot be opened.
 *   4  NO_INTERNET: the internet connection cannot be opened (plugin_init).
 *   5  UNKNOWN_CHANNEL: its INI section has no "ChannelUrl".
 *
 * Error text: every errorText argument (and plugin_init's initResult on failure) is a host-owned
 * buffer of exactly 1024 bytes. It is written only together with a failure status: the message,
 * cut to at most 1023 bytes, then zero bytes up to the end of the buffer, so it is always
 * zero-terminated.
 *
 * Init result: on status 0 plugin_init writes the lounge, message-board and article minimum update
 * intervals, in seconds, as the first three int32_t of initResult.
 *
 * Output buffers: on status 0 a content entry point stores in *text a buffer allocated by the
 * plug-in holding exactly *length bytes (no terminating zero byte; NULL when *length is 0 is not
 * guaranteed). The host owns it from then on and must release it with plugin_free. The
 * out-parameters are written only with status 0.
 *
 * No entry point lets an exception or a signal escape into the host. */
#ifndef DOVETRAIL_H
#define DOVETRAIL_H

#include <stdint.h>

#include "dovetrail/dovetrail_external.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DOVETRAIL_INTERFACE_VERSION 1
#define DOVETRAIL_ERROR_TEXT_SIZE 1024

#define DOVETRAIL_STATUS_OK 0
#define DOVETRAIL_STATUS_FAILED 1
#define DOVETRAIL_STATUS_NO_MEMORY 2
#define DOVETRAIL_STATUS_NO_TEMPLATE 3
#define DOVETRAIL_STATUS_NO_INTERNET 4
#define DOVETRAIL_STATUS_UNKNOWN_CHANNEL 5

typedef int32_t(DOVETRAIL_CALL* plugin_init_fn)(const char* configPath,
                                                void* initResult /* 1024 bytes */);
typedef int32_t(DOVETRAIL_CALL* plugin_term_fn)(void);
typedef void*(DOVETRAIL_CALL* plugin_alloc_fn)(uint32_t size);
typedef void(DOVETRAIL_CALL* plugin_free_fn)(void* block);
typedef int32_t(DOVETRAIL_CALL* plugin_get_main_page_fn)(char** text, uint32_t* length,
                                                         char* errorText /* 1024 bytes */);
typedef int32_t(DOVETRAIL_CALL* plugin_get_channel_fn)(const char* channelName, uint32_t unused,
                                                       char** text, uint32_t* length,
                                                       char* errorText /* 1024 bytes */);

struct PluginInfo {
    int32_t version;
    plugin_init_fn plugin_init;
    plugin_term_fn plugin_term;
    plugin_alloc_fn plugin_alloc;
    plugin_free_fn plugin_free;
    plugin_get_main_page_fn plugin_get_main_page;
    plugin_get_channel_fn plugin_get_channel;
};

typedef void(DOVETRAIL_CALL* get_app_plugin_info_fn)(struct PluginInfo* info);

DOVETRAIL_EXPORT void DOVETRAIL_CALL get_app_plugin_info(struct PluginInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* DOVETRAIL_H */
