#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/error.h"

namespace platform {

unsigned long lastError() { return static_cast<unsigned long>(errno); }

void setLastError(unsigned long code) { errno = static_cast<int>(code); }

std::string systemErrorText(unsigned long code) {
    if (code == 0 || code > static_cast<unsigned long>(INT_MAX)) {
        return {};
    }
    const int number = static_cast<int>(code);
    // strerror_r invents "Unknown error N" for numbers the system has no text for; those count as
    // having none, so the caller's numeric fallback applies.
    if (strerrordesc_np(number) == nullptr) {
        return {};
    }
    char buffer[1024];
    return std::string(strerror_r(number, buffer, sizeof buffer));
}

}  // namespace platform
