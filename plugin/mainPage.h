// The plug-in's main page, rendered from "Dovetrail-MainPage.template" in the plug-in directory.
#pragma once

#include <cstdint>
#include <string>

namespace plugin {

// plugin_get_main_page: DOVETRAIL_STATUS_OK with the rendered page handed over,
// DOVETRAIL_STATUS_NO_TEMPLATE (message written) when the template can't be opened,
// DOVETRAIL_STATUS_NO_MEMORY when the output buffer can't be had.
std::int32_t getMainPage(char** text, std::uint32_t* length, char* errorText);

// "N minutes" for an interval in seconds (integer division toward zero).
std::string minutesText(std::int32_t seconds);

}  // namespace plugin
