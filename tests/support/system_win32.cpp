#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come first.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "support/system.h"

namespace testing_support {

namespace {

// Every test program runs in a window station of its own that nobody sees, as a service does: a
// fatal abort in a test (the death tests make many) then reports without a message box, which
// under Wine's desktop without a display would wait for a click that never comes.
[[maybe_unused]] const bool unseen = [] {
    HWINSTA station = CreateWindowStationA(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
    return station != nullptr && SetProcessWindowStation(station) != FALSE;
}();

}  // namespace

bool onWindows() {
    return true;
}

bool underWine() {
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string textLineEnd() {
    return "\r\n";
}

// The C runtime's environment, which the plug-in's getenv reads (both use msvcrt.dll's).
void setEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

void unsetEnvironment(const char* name) {
    _putenv_s(name, "");
}

bool runtimeSplitPath(const std::string& path, std::string parts[4]) {
    if (path.size() >= _MAX_PATH) {
        return false;
    }
    char drive[_MAX_DRIVE], directory[_MAX_DIR], name[_MAX_FNAME], extension[_MAX_EXT];
    _splitpath(path.c_str(), drive, directory, name, extension);
    parts[0] = drive;
    parts[1] = directory;
    parts[2] = name;
    parts[3] = extension;
    return true;
}

bool runtimeMakePath(const std::string& drive, const std::string& directory,
                     const std::string& name, const std::string& extension, std::string& path) {
    if (drive.size() + directory.size() + name.size() + extension.size() + 4 >= _MAX_PATH) {
        return false;
    }
    char buffer[_MAX_PATH];
    _makepath(buffer, drive.c_str(), directory.c_str(), name.c_str(), extension.c_str());
    path = buffer;
    return true;
}

namespace {

// The parts of a PE image that name its exports and imports.
class PeImage {
  public:
    explicit PeImage(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const std::uint32_t pe = u32(0x3C);
        if (bytes_.size() < 0x40 || text(pe, 4) != std::string("PE\0\0", 4)) {
            throw std::runtime_error("Not a PE image: " + path);
        }
        const std::uint32_t coff = pe + 4;
        const std::uint16_t sections = u16(coff + 2);
        const std::uint32_t optional = coff + 20;
        const std::uint16_t magic = u16(optional);
        // Data directories follow the PE32 (0x10B) or PE32+ (0x20B) fields.
        const std::uint32_t directories = optional + (magic == 0x20B ? 112 : 96);
        exportRva_ = u32(directories);
        importRva_ = u32(directories + 8);
        const std::uint32_t table = optional + u16(coff + 16);
        for (std::uint16_t i = 0; i < sections; ++i) {
            const std::uint32_t entry = table + 40u * i;
            sections_.push_back(
                {u32(entry + 12), std::max(u32(entry + 8), u32(entry + 16)), u32(entry + 20)});
        }
    }

    std::vector<std::string> exports() const {
        std::vector<std::string> names;
        if (exportRva_ == 0) {
            return names;
        }
        const std::uint32_t directory = offset(exportRva_);
        const std::uint32_t count = u32(directory + 24);
        const std::uint32_t nameTable = offset(u32(directory + 32));
        for (std::uint32_t i = 0; i < count; ++i) {
            names.push_back(cString(offset(u32(nameTable + 4 * i))));
        }
        return names;
    }

    std::vector<std::string> imports() const {
        std::vector<std::string> names;
        if (importRva_ == 0) {
            return names;
        }
        for (std::uint32_t entry = offset(importRva_);; entry += 20) {
            const std::uint32_t name = u32(entry + 12);
            if (name == 0) {
                break;
            }
            names.push_back(cString(offset(name)));
        }
        return names;
    }

  private:
    struct Section {
        std::uint32_t address;
        std::uint32_t size;
        std::uint32_t fileOffset;
    };

    void need(std::size_t at, std::size_t count) const {
        if (at + count > bytes_.size()) {
            throw std::runtime_error("PE image cut short");
        }
    }
    std::uint16_t u16(std::size_t at) const {
        need(at, 2);
        return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes_[at]) |
                                          static_cast<unsigned char>(bytes_[at + 1]) << 8);
    }
    std::uint32_t u32(std::size_t at) const {
        return static_cast<std::uint32_t>(u16(at)) | static_cast<std::uint32_t>(u16(at + 2)) << 16;
    }
    std::string text(std::size_t at, std::size_t count) const {
        need(at, count);
        return bytes_.substr(at, count);
    }
    std::string cString(std::size_t at) const {
        need(at, 1);
        const std::size_t end = bytes_.find('\0', at);
        return bytes_.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
    std::uint32_t offset(std::uint32_t rva) const {
        for (const Section& section : sections_) {
            if (rva >= section.address && rva < section.address + section.size) {
                return rva - section.address + section.fileOffset;
            }
        }
        throw std::runtime_error("PE address outside every section");
    }

    std::string bytes_;
    std::uint32_t exportRva_ = 0;
    std::uint32_t importRva_ = 0;
    std::vector<Section> sections_;
};

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        throw std::runtime_error("Can't start Winsock");
    }
}

sockaddr_in loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

std::vector<std::string> exportedNames(const std::string& library) {
    std::vector<std::string> names = PeImage(library).exports();
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> importedLibraries(const std::string& library) {
    return PeImage(library).imports();
}

ClosedPort::ClosedPort() {
    startWinsock();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback();
    int length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd == INVALID_SOCKET || bind(fd, raw, length) != 0 || getsockname(fd, raw, &length) != 0) {
        if (fd != INVALID_SOCKET) {
            closesocket(fd);
        }
        throw std::runtime_error("Can't bind: 127.0.0.1");
    }
    socket_ = static_cast<std::intptr_t>(fd);
    port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort() {
    closesocket(static_cast<SOCKET>(socket_));
}

Unanswered::Unanswered() {
    startWinsock();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback();
    int length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd == INVALID_SOCKET || bind(fd, raw, length) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd != INVALID_SOCKET) {
            closesocket(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    listener_ = static_cast<std::intptr_t>(fd);
    port_ = ntohs(address.sin_port);
    for (std::intptr_t& client : clients_) {
        const SOCKET socketHandle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(socketHandle, FIONBIO, &nonBlocking);
        connect(socketHandle, raw, length);
        client = static_cast<std::intptr_t>(socketHandle);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Unanswered::~Unanswered() {
    for (const std::intptr_t client : clients_) {
        if (static_cast<SOCKET>(client) != INVALID_SOCKET) {
            closesocket(static_cast<SOCKET>(client));
        }
    }
    closesocket(static_cast<SOCKET>(listener_));
}

SilentListener::SilentListener() {
    startWinsock();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback();
    int length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd == INVALID_SOCKET || bind(fd, raw, length) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd != INVALID_SOCKET) {
            closesocket(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    socket_ = static_cast<std::intptr_t>(fd);
    port_ = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    closesocket(static_cast<SOCKET>(socket_));
}

std::string connectionRefusedText() {
    // Wine words Winsock's errors its own way.
    return underWine() ? "Connection refused."
                       : "No connection could be made because the target machine actively "
                         "refused it.";
}

bool inInvisibleWindowStation(const std::function<void()>& body) {
    // A station made by a program is not interactive: nothing on it is shown.
    HWINSTA previous = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationA(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
    if (previous == nullptr || station == nullptr) {
        throw std::runtime_error("Can't make a window station");
    }
    if (!SetProcessWindowStation(station)) {
        CloseWindowStation(station);
        throw std::runtime_error("Can't switch to a new window station");
    }
    try {
        body();
    } catch (...) {
        SetProcessWindowStation(previous);
        CloseWindowStation(station);
        throw;
    }
    SetProcessWindowStation(previous);
    CloseWindowStation(station);
    return true;
}

std::string moduleFileOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(address), &module)) {
        return "";
    }
    char name[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(module, name, sizeof name);
    return length > 0 && length < sizeof name ? std::string(name, length) : "";
}

unsigned ansiCodePage() {
    return GetACP();
}

std::uintptr_t nextInternetHandle() {
    HINTERNET root = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (root == nullptr) {
        throw std::runtime_error("Can't open a WinINet session");
    }
    InternetCloseHandle(root);
    return reinterpret_cast<std::uintptr_t>(root);
}

bool internetHandleIsOpen(std::uintptr_t handle) {
    DWORD type = 0;
    DWORD size = sizeof type;
    return InternetQueryOptionA(reinterpret_cast<HINTERNET>(handle), INTERNET_OPTION_HANDLE_TYPE,
                                &type, &size) != FALSE;
}

HeaderTrickler::HeaderTrickler() {
    startWinsock();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback();
    int length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd == INVALID_SOCKET || bind(fd, raw, length) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd != INVALID_SOCKET) {
            closesocket(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    listener_ = static_cast<std::intptr_t>(fd);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}
#define SOCKET_TYPE SOCKET
#define INVALID_SOCKET_VALUE INVALID_SOCKET
#define CLOSE_SOCKET closesocket

// Accepts one client at a time and feeds it a byte every 100 ms until stopped; select() with a
// short time-out lets the destructor end the loop.
void HeaderTrickler::serve() {
    const auto listener = static_cast<SOCKET_TYPE>(listener_);
    while (!stop_) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener, &ready);
        timeval wait{0, 50000};
        if (select(static_cast<int>(listener) + 1, &ready, nullptr, nullptr, &wait) <= 0) {
            continue;
        }
        const SOCKET_TYPE client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET_VALUE) {
            continue;
        }
        const char start[] = "HTTP/1.1 200 OK\r\nX-Slow: ";
        bool open = send(client, start, sizeof start - 1, 0) > 0;
        while (open && !stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            open = send(client, "a", 1, 0) > 0;
        }
        CLOSE_SOCKET(client);
    }
}

HeaderTrickler::~HeaderTrickler() {
    stop_ = true;
    thread_.join();
    CLOSE_SOCKET(static_cast<SOCKET_TYPE>(listener_));
}
#undef SOCKET_TYPE
#undef INVALID_SOCKET_VALUE
#undef CLOSE_SOCKET

}  // namespace testing_support
