// The calling thread's last system error and its text.
#pragma once

#include <string>

namespace platform {

// The last error of the calling thread (errno on POSIX).
unsigned long lastError();
void setLastError(unsigned long code);

// The system's one-line text for an error number, or an empty string when the system has none.
std::string systemErrorText(unsigned long code);

}  // namespace platform
