// A modal report to the user. The caption and text go to standard error; on Windows a message box
// (OK button, exclamation-mark icon) shows them too, when someone can see it, and the call returns
// when it is closed. On POSIX, or in a Windows session nobody sees (a service, a scheduled task),
// there is nobody to close a box, so the call returns at once.
#pragma once

#include <string>

namespace platform {

void showMessageBox(const std::string& text, const std::string& caption);

// Whether a message box would be seen: the process's window station is visible (Windows). Always
// false on POSIX.
bool messageBoxCanBeSeen();

}  // namespace platform
