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

// A path with a directory in it names a file; LoadLibraryA would look for a relative one in
// every directory of the DLL search order (the program's own first), not where the user is. A bare
// name keeps the search order, as the contract says.
std::string fileToLoad(const std::string& path) {
    if (path.find_first_of("\\/") == std::string::npos) {
        return path;
    }
    std::vector<char> full(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return path;  // LoadLibraryA gives the reason
        }
        if (length < full.size()) {
            return std::string(full.data(), length);
        }
        full.resize(length + 1);
    }
}

// The calling thread's error mode where the system has one (Windows 7 on); the process-wide mode
// on Vista, which would also silence other threads' boxes while the library loads.
class QuietErrorMode {
  public:
    QuietErrorMode() {
        using SetThreadErrorModeFunction = BOOL(WINAPI*)(DWORD, LPDWORD);
        const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        setThreadErrorMode_ = kernel32 == nullptr
                                  ? nullptr
                                  : reinterpret_cast<SetThreadErrorModeFunction>(
                                        reinterpret_cast<void*>(
                                            GetProcAddress(kernel32, "SetThreadErrorMode")));
        if (setThreadErrorMode_ != nullptr) {
            setThreadErrorMode_(kQuiet, &previous_);
        } else {
            previous_ = SetErrorMode(kQuiet);
        }
    }
    ~QuietErrorMode() {
        if (setThreadErrorMode_ != nullptr) {
            setThreadErrorMode_(previous_, nullptr);
        } else {
            SetErrorMode(previous_);
        }
    }
    QuietErrorMode(const QuietErrorMode&) = delete;
    QuietErrorMode& operator=(const QuietErrorMode&) = delete;

  private:
    static constexpr DWORD kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    BOOL(WINAPI* setThreadErrorMode_)(DWORD, LPDWORD) = nullptr;
    DWORD previous_ = 0;
};

}  // namespace

std::unique_ptr<NativeLibrary> NativeLibrary::open(const std::string& path, std::string& error) {
    HMODULE module = nullptr;
    DWORD code = 0;
    {
        // No "cannot find a DLL" box in front of a console program: the caller reports it.
        const QuietErrorMode quiet;
        module = LoadLibraryA(fileToLoad(path).c_str());
        code = GetLastError();
    }
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
