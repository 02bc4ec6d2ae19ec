#include <windows.h>
#include <wininet.h>

#include "platform/error.h"

namespace platform {

namespace {

// The one-line text of `code` from the message table of `module` (the system's when null).
std::string formatMessage(DWORD code, HMODULE module) {
    char buffer[1024] = {};
    const DWORD source =
        module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    // MAX_WIDTH_MASK joins the system's lines into one; no inserts are expected or filled in.
    const DWORD length = FormatMessageA(
        source | FORMAT_MESSAGE_MAX_WIDTH_MASK | FORMAT_MESSAGE_IGNORE_INSERTS, module, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text(buffer, length < sizeof buffer ? length : 0);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

unsigned long lastError() {
    return GetLastError();
}

void setLastError(unsigned long code) {
    SetLastError(code);
}

std::string systemErrorText(unsigned long code) {
    if (code == 0) {
        return {};
    }
    std::string text = formatMessage(code, nullptr);
    // WinINet's own numbers are not in the system's table but in wininet.dll's.
    if (text.empty() && code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST) {
        HMODULE wininet = GetModuleHandleA("wininet.dll");
        const bool loadedHere = wininet == nullptr;
        if (loadedHere) {
            wininet = LoadLibraryExA("wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        }
        if (wininet != nullptr) {
            text = formatMessage(code, wininet);
            if (loadedHere) {
                FreeLibrary(wininet);
            }
        }
    }
    return text;
}

}  // namespace platform
