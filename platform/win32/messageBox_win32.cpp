#include <windows.h>

#include <cstdio>

#include "platform/messageBox.h"

namespace platform {

namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);

}  // namespace

void showMessageBox(const std::string& text, const std::string& caption) {
    // A console program's user reads the report where its other messages go; in a desktop host
    // standard error leads nowhere and costs nothing.
    std::string out = caption + "\n" + text;
    if (out.back() != '\n') {
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);

    // user32 is loaded only when a report is shown, so that loading the plug-in does not bring
    // the windowing system into a process that has none.
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == nullptr) {
        return;
    }
    // GetProcAddress yields a generic function pointer; the signature is MessageBoxA's.
    const auto messageBox = reinterpret_cast<MessageBoxFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")));
    if (messageBox != nullptr) {
        messageBox(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
    }
    FreeLibrary(user32);
}

}  // namespace platform
