// A modal report to the user. The caption and text go to standard error; on Windows a message box
// (OK button, exclamation-mark icon) shows them too and the call returns when it is closed. On
// POSIX there is no desktop to show it on, so the call returns at once.
#pragma once

#include <string>

namespace platform {

void showMessageBox(const std::string& text, const std::string& caption);

}  // namespace platform
