// LoopbackServer in the Windows build: each instance is a server inside the native loopback
// service (loopbackService.cpp), created, fed and read over its control port. The service's port
// file is named by the environment variable DOVETRAIL_TEST_LOOPBACK_SERVICE, which ctest sets.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "loopbackServer.h"

namespace testing_support {

namespace {

// Taken before any test changes the working directory.
const std::string kPortFile = [] {
    const char* file = std::getenv("DOVETRAIL_TEST_LOOPBACK_SERVICE");
    return file == nullptr ? std::string() : std::filesystem::absolute(file).string();
}();

std::uint16_t controlPort() {
    if (kPortFile.empty()) {
        throw std::runtime_error(
            "The Windows build's tests need the native loopback service; run them with ctest, "
            "which starts it (DOVETRAIL_TEST_LOOPBACK_SERVICE names its port file)");
    }
    std::ifstream in(kPortFile);
    unsigned port = 0;
    if (!(in >> port) || port == 0 || port > 65535) {
        throw std::runtime_error("No loopback service port in " + kPortFile);
    }
    return static_cast<std::uint16_t>(port);
}

std::string percentEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string unescaped(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '%' && i + 2 < field.size() && hexValue(field[i + 1]) >= 0 &&
            hexValue(field[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(field[i + 1]) * 16 + hexValue(field[i + 2]));
            i += 2;
        } else {
            out += field[i];
        }
    }
    return out;
}

class Socket {
  public:
    Socket() {
        static const bool started = [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data) == 0;
        }();
        if (!started) {
            throw std::runtime_error("Can't start Winsock");
        }
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            throw std::runtime_error("Can't create a socket");
        }
    }
    ~Socket() { closesocket(socket_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return socket_; }

  private:
    SOCKET socket_;
};

// One control request; returns the answer's body, throws unless the status is 200.
std::string control(const std::string& method, const std::string& target,
                    const std::string& body = "") {
    Socket connection;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(controlPort());
    if (connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("Can't reach the loopback service on port " +
                                 std::to_string(controlPort()));
    }
    const std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                body;
    for (std::size_t sent = 0; sent < request.size();) {
        const int n = send(connection.get(), request.data() + sent,
                           static_cast<int>(request.size() - sent), 0);
        if (n <= 0) {
            throw std::runtime_error("Can't send to the loopback service: " + target);
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[65536];
    for (;;) {
        const int n = recv(connection.get(), buffer, sizeof buffer, 0);
        if (n < 0) {
            throw std::runtime_error("Can't read from the loopback service: " + target);
        }
        if (n == 0) {
            break;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t space = answer.find(' ');
    const std::size_t headersEnd = answer.find("\r\n\r\n");
    if (space == std::string::npos || headersEnd == std::string::npos ||
        answer.compare(space + 1, 3, "200") != 0) {
        throw std::runtime_error("The loopback service refused " + method + " " + target + ": " +
                                 answer.substr(0, answer.find("\r\n")));
    }
    return answer.substr(headersEnd + 4);
}

}  // namespace

// This build never holds a server library object.
void LoopbackServer::ServerDeleter::operator()(httplib::Server*) const {}

LoopbackServer::LoopbackServer() {
    const unsigned long port = std::stoul(control("POST", "/servers"));
    port_ = static_cast<std::uint16_t>(port);
}

LoopbackServer::~LoopbackServer() {
    try {
        control("POST", "/servers/" + std::to_string(port_) + "/delete");
    } catch (const std::exception&) {
        // The service removes what is left when it stops.
    }
}

void LoopbackServer::route(const std::string& path, Handler) {
    throw std::logic_error(
        "route() needs the server library, which the Windows build lacks; serve(), "
        "serveInPieces() and serveCutShort() work in every build: " +
        path);
}

void LoopbackServer::serve(const std::string& path, std::string body, std::string contentType,
                           int status) {
    control("POST",
            "/servers/" + std::to_string(port_) + "/serve?path=" + percentEncoded(path) +
                "&type=" + percentEncoded(contentType) + "&status=" + std::to_string(status),
            body);
}

void LoopbackServer::serveInPieces(const std::string& path, std::string body, std::size_t piece,
                                   std::chrono::milliseconds pause, int status) {
    control("POST",
            "/servers/" + std::to_string(port_) + "/pieces?path=" + percentEncoded(path) +
                "&piece=" + std::to_string(piece) + "&pause=" + std::to_string(pause.count()) +
                "&status=" + std::to_string(status),
            body);
}

void LoopbackServer::serveCutShort(const std::string& path, std::string body, std::size_t announced,
                                   int status) {
    control("POST",
            "/servers/" + std::to_string(port_) + "/cut-short?path=" + percentEncoded(path) +
                "&announced=" + std::to_string(announced) + "&status=" + std::to_string(status),
            body);
}

std::size_t LoopbackServer::requestCount(const std::string& path) const {
    std::size_t count = 0;
    for (const RecordedRequest& request : requests()) {
        if (request.target.substr(0, request.target.find('?')) == path) {
            ++count;
        }
    }
    return count;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::istringstream lines(control("GET", "/servers/" + std::to_string(port_) + "/requests"));
    std::vector<RecordedRequest> requests;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string kind, first, second, third;
        fields >> kind >> first >> second >> third;
        if (kind == "R") {
            requests.push_back({unescaped(first), unescaped(second), unescaped(third), {}});
        } else if (kind == "H" && !requests.empty()) {
            requests.back().headers.emplace_back(unescaped(first), unescaped(second));
        }
    }
    return requests;
}

void LoopbackServer::setStall(std::chrono::milliseconds stall) {
    control("POST",
            "/servers/" + std::to_string(port_) + "/stall?ms=" + std::to_string(stall.count()));
}

}  // namespace testing_support
