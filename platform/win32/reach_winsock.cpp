// Reachability over Winsock: the host's name is resolved, then each of its addresses is connected
// to without blocking, within the time limit. WinINet has no connect-only mode, so unlike the
// downloads this goes neither through a proxy nor through the TLS handshake.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>

#include "platform/error.h"
#include "platform/internet.h"
#include "platform/reach.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string errorText(int code) {
    std::string text = systemErrorText(static_cast<unsigned long>(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

// Winsock is started for one probe and stopped after it; the starts are counted by the system.
class WinsockUse {
  public:
    WinsockUse() {
        WSADATA data;
        error_ = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUse() {
        if (error_ == 0) {
            WSACleanup();
        }
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    int error() const { return error_; }

  private:
    int error_ = 0;
};

class SocketOwner {
  public:
    explicit SocketOwner(SOCKET socket) : socket_(socket) {}
    ~SocketOwner() {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
        }
    }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;
    SOCKET get() const { return socket_; }

  private:
    SOCKET socket_;
};

class AddressList {
  public:
    AddressList() = default;
    ~AddressList() {
        if (list_ != nullptr) {
            freeaddrinfo(list_);
        }
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    addrinfo** out() { return &list_; }
    addrinfo* first() const { return list_; }

  private:
    addrinfo* list_ = nullptr;
};

}  // namespace

ReachResult probeReach(const std::string& url, std::uint32_t timeoutMilliseconds) {
    UrlParts parts;
    if (!crackUrl(url, url.size() + 1, url.size() + 1, parts) ||
        (parts.scheme != InternetScheme::Http && parts.scheme != InternetScheme::Https)) {
        return {false, "not an http or https URL: " + url};
    }
    const bool https = parts.scheme == InternetScheme::Https;
    const unsigned port = parts.port != 0 ? parts.port : (https ? 443u : 80u);
    const std::string where = parts.host + " port " + std::to_string(port);

    const WinsockUse winsock;
    if (winsock.error() != 0) {
        return {false, "can't start Winsock: " + errorText(winsock.error())};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    const int resolved =
        getaddrinfo(parts.host.c_str(), std::to_string(port).c_str(), &hints, addresses.out());
    if (resolved == WSAHOST_NOT_FOUND || resolved == WSANO_DATA) {
        return {false, "no such host: " + parts.host};
    }
    if (resolved != 0) {
        return {false, "can't resolve " + parts.host + ": " + errorText(resolved)};
    }

    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    int lastError = WSAECONNREFUSED;
    for (const addrinfo* address = addresses.first(); address != nullptr;
         address = address->ai_next) {
        const SocketOwner socket(
            ::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (socket.get() == INVALID_SOCKET) {
            lastError = WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
        if (connect(socket.get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) {
            return {true, {}};
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            lastError = WSAGetLastError();
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        timeval wait{};
        wait.tv_sec = static_cast<long>(left.count() / 1000000);
        wait.tv_usec = static_cast<long>(left.count() % 1000000);
        fd_set connected;
        fd_set failed;
        FD_ZERO(&connected);
        FD_ZERO(&failed);
        FD_SET(socket.get(), &connected);
        FD_SET(socket.get(), &failed);
        const int ready = select(0, nullptr, &connected, &failed, &wait);
        if (ready == 0) {
            break;
        }
        if (ready == SOCKET_ERROR) {
            lastError = WSAGetLastError();
            continue;
        }
        // A connection that failed is reported in the exception set, its reason in SO_ERROR.
        if (FD_ISSET(socket.get(), &failed)) {
            int error = 0;
            int length = sizeof error;
            getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                       &length);
            lastError = error != 0 ? error : WSAECONNREFUSED;
            continue;
        }
        return {true, {}};
    }
    if (Clock::now() >= deadline) {
        return {false, "timed out: no connection to " + where + " within " +
                           std::to_string(timeoutMilliseconds) + " ms"};
    }
    return {false, "can't connect to " + where + ": " + errorText(lastError)};
}

}  // namespace platform
