#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "nativeLibrary.h"

namespace host {

namespace {

std::string lastErrorText() {
    const DWORD code = GetLastError();
    char buffer[1024] = {};
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text(buffer, length < sizeof buffer ? length : 0);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text.empty() ? "Windows error " + std::to_string(code) : text;
}

}  // namespace

std::unique_ptr<NativeLibrary> NativeLibrary::open(const std::string& path, std::string& error) {
    // No "cannot find a DLL" box in front of a console program: the caller reports the failure.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(path.c_str());
    const DWORD code = GetLastError();
    SetErrorMode(previous);
    if (module == nullptr) {
        SetLastError(code);
        error = lastErrorText();
        return nullptr;
    }
    return std::unique_ptr<NativeLibrary>(new NativeLibrary(module));
}

NativeLibrary::~NativeLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle_));
}

NativeLibrary::Function NativeLibrary::function(const char* name) const {
    return reinterpret_cast<Function>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::filesystem::path runningProgramPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::filesystem::path(std::string(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

void useBinaryStandardOutput() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace host
