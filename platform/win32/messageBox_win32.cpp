#include <windows.h>

#include <cstdio>

#include "platform/messageBox.h"

namespace platform {

namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
using GetProcessWindowStationFunction = HWINSTA(WINAPI*)();
using GetUserObjectInformationFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);

// user32 is loaded only when a report is shown, so that loading the plug-in does not bring the
// windowing system into a process that has none.
class User32 {
  public:
    User32() : module_(LoadLibraryA("user32.dll")) {}
    ~User32() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    User32(const User32&) = delete;
    User32& operator=(const User32&) = delete;

    // GetProcAddress yields a generic function pointer; the caller names the signature.
    template <typename Function>
    Function function(const char* name) const {
        return module_ == nullptr ? nullptr
                                  : reinterpret_cast<Function>(
                                        reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

  private:
    HMODULE module_;
};

bool visibleStation(const User32& user32) {
    const auto station =
        user32.function<GetProcessWindowStationFunction>("GetProcessWindowStation");
    const auto information =
        user32.function<GetUserObjectInformationFunction>("GetUserObjectInformationA");
    if (station == nullptr || information == nullptr) {
        return false;
    }
    const HWINSTA current = station();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    return current != nullptr &&
           information(current, UOI_FLAGS, &flags, sizeof flags, &needed) != FALSE &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

bool messageBoxCanBeSeen() {
    const User32 user32;
    return visibleStation(user32);
}

void showMessageBox(const std::string& text, const std::string& caption) {
    // A console program's user reads the report where its other messages go; in a desktop host
    // standard error leads nowhere and costs nothing.
    std::string out = caption + "\n" + text;
    if (out.back() != '\n') {
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);

    // In a session nobody sees (a service, a scheduled task), a box would wait for ever for a
    // click; the report has gone to standard error and the caller's log.
    const User32 user32;
    if (!visibleStation(user32)) {
        return;
    }
    if (const auto messageBox = user32.function<MessageBoxFunction>("MessageBoxA")) {
        messageBox(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
    }
}

}  // namespace platform
