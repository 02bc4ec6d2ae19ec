// The plug-in's main page, rendered from "Dovetrail-MainPage.template" in the plug-in directory.
#pragma once

#include <cstdint>
#include <string>

namespace plugin {

// plugin_get_main_page: kOk with the rendered page handed over, kNoTemplate (message written) when
// the template can't be opened, kNoMemory when the output buffer can't be had.
std::int32_t getMainPage(char** text, std::uint32_t* length, char* errorText);

// "N minutes" for an interval in seconds (integer division toward zero).
std::string minutesText(std::int32_t seconds);

}  // namespace plugin
