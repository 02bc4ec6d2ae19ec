#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/system.h"

namespace testing_support {

bool onWindows() {
    return false;
}

bool underWine() {
    return false;
}

std::string textLineEnd() {
    return "\n";
}

void setEnvironment(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void unsetEnvironment(const char* name) {
    unsetenv(name);
}

bool runtimeSplitPath(const std::string&, std::string[4]) {
    return false;
}

bool runtimeMakePath(const std::string&, const std::string&, const std::string&, const std::string&,
                     std::string&) {
    return false;
}

std::vector<std::string> exportedNames(const std::string& library) {
    const std::string command = "nm -D --defined-only --format=posix '" + library + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("Can't run: " + command);
    }
    std::string output;
    std::array<char, 512> line;
    while (fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        output += line.data();
    }
    // Functions and data; the rest (absolute symbols, version names) is not an export.
    std::vector<std::string> names;
    std::istringstream lines(output);
    for (std::string entry; std::getline(lines, entry);) {
        std::istringstream fields(entry);
        std::string name, type;
        fields >> name >> type;
        if (type == "T" || type == "D" || type == "B" || type == "W" || type == "V" ||
            type == "R" || type == "i" || type == "u") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> importedLibraries(const std::string&) {
    return {};
}

namespace {

sockaddr_in loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

ClosedPort::ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, raw, length) != 0 || getsockname(fd, raw, &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("Can't bind: 127.0.0.1");
    }
    socket_ = fd;
    port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort() {
    close(static_cast<int>(socket_));
}

Unanswered::Unanswered() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, raw, length) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    listener_ = fd;
    port_ = ntohs(address.sin_port);
    for (std::intptr_t& client : clients_) {
        client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(static_cast<int>(client), raw, length);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Unanswered::~Unanswered() {
    for (const std::intptr_t client : clients_) {
        if (client >= 0) {
            close(static_cast<int>(client));
        }
    }
    close(static_cast<int>(listener_));
}

SilentListener::SilentListener() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, raw, length) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    socket_ = fd;
    port_ = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    close(static_cast<int>(socket_));
}

std::string connectionRefusedText() {
    return std::strerror(ECONNREFUSED);
}

bool inInvisibleWindowStation(const std::function<void()>&) {
    return false;
}

std::string moduleFileOf(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}

unsigned ansiCodePage() {
    return 0;
}

std::uintptr_t nextInternetHandle() {
    return 0;
}

bool internetHandleIsOpen(std::uintptr_t) {
    return false;
}

HeaderTrickler::HeaderTrickler() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, raw, length) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, raw, &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("Can't listen: 127.0.0.1");
    }
    listener_ = fd;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}
#define SOCKET_TYPE int
#define INVALID_SOCKET_VALUE (-1)
#define CLOSE_SOCKET close

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
