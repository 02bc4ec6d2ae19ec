// A modal report to the user. On POSIX there is no desktop to show it on, so the caption and text
// go to standard error and the call returns at once.
#pragma once

#include <string>

namespace platform {

void showMessageBox(const std::string& text, const std::string& caption);

}  // namespace platform
