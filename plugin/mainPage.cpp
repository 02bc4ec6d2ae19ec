#include "mainPage.h"

#include <fstream>
#include <sstream>

#include "cBoundary.h"
#include "platform/path.h"
#include "pluginState.h"
#include "templateProcessor.h"

namespace plugin {

std::string minutesText(std::int32_t seconds) {
    return std::to_string(seconds / 60) + " minutes";
}

std::int32_t getMainPage(char** text, std::uint32_t* length, char* errorText) {
    const StateSnapshot state = snapshot();
    // Joined as the log file's name is: an empty directory (a configuration path without one)
    // means the working directory, not the root.
    std::ifstream page(platform::makePath("", state.directory, "Dovetrail-MainPage.template", ""),
                       std::ios::binary);
    if (!page.is_open()) {
        copyErrorText("Can't open the Dovetrail main page template file.", errorText);
        return DOVETRAIL_STATUS_NO_TEMPLATE;
    }
    std::ostringstream output;
    templateProcessor::TemplateProcessor processor;
    processor.setVariable("MIN-LOUNGE-UPDATE-INTERVAL", minutesText(state.intervals.lounge));
    processor.setVariable("MIN-MESSAGE-BOARDS-UPDATE-INTERVAL",
                          minutesText(state.intervals.messageBoards));
    processor.setVariable("MIN-ARTICLES-UPDATE-INTERVAL", minutesText(state.intervals.articles));
    processor.process(page, output);
    return handOver(output.view(), text, length);
}

}  // namespace plugin
