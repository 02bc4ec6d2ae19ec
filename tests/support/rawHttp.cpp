#include "rawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string RawResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

bool RawResponse::hasHeader(std::string_view name) const {
    for (const auto& entry : headers) {
        if (equalNoCase(entry.first, name)) {
            return true;
        }
    }
    return false;
}

RawConnection::RawConnection(std::uint16_t port, const std::string& source) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw std::runtime_error(std::string("Can't open a socket: ") + std::strerror(errno));
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd_);
        throw std::runtime_error("Can't connect from " + source + " to port " +
                                 std::to_string(port) + ": " + why);
    }
}

RawConnection::~RawConnection() {
    ::close(fd_);
}

std::uint16_t RawConnection::localPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool RawConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<RawResponse> RawConnection::read(std::chrono::milliseconds timeout, bool head) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::string& in = pending_;
    std::size_t headerEnd = std::string::npos;
    std::optional<RawResponse> response;
    std::size_t bodyLength = 0;
    while (true) {
        if (!response) {
            headerEnd = in.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                response.emplace();
                std::size_t lineEnd = in.find("\r\n");
                const std::string statusLine = in.substr(0, lineEnd);
                const std::size_t space = statusLine.find(' ');
                response->status =
                    space == std::string::npos ? 0 : std::atoi(statusLine.c_str() + space + 1);
                std::size_t pos = lineEnd + 2;
                while (pos < headerEnd) {
                    lineEnd = in.find("\r\n", pos);
                    const std::string line = in.substr(pos, lineEnd - pos);
                    const std::size_t colon = line.find(':');
                    std::string value = line.substr(colon + 1);
                    value.erase(0, value.find_first_not_of(' '));
                    response->headers.emplace_back(line.substr(0, colon), value);
                    pos = lineEnd + 2;
                }
                const bool noBody = head || response->status == 304 || response->status == 204;
                bodyLength =
                    noBody ? 0
                           : std::strtoul(response->header("Content-Length").c_str(), nullptr, 10);
            }
        }
        if (response && in.size() >= headerEnd + 4 + bodyLength) {
            response->body = in.substr(headerEnd + 4, bodyLength);
            in.erase(0, headerEnd + 4 + bodyLength);
            return response;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<RawResponse> RawConnection::get(const std::string& target) {
    if (!send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
        return std::nullopt;
    }
    return read();
}

bool RawConnection::closedWithin(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (true) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
    }
}

}  // namespace testing_support
