// A bare HTTP/1.1 client over one TCP connection, for tests that need what a library client
// hides: the source address, bytes sent one at a time, several answers on one connection, and
// whether the server closed the connection.
//
// Not thread-safe; one owner per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

struct RawResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header named `name` (letter case ignored); empty when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
};

class RawConnection {
  public:
    // Connects to 127.0.0.1:`port` from `source` (any address of 127.0.0.0/8). Throws
    // std::runtime_error when it cannot.
    explicit RawConnection(std::uint16_t port, const std::string& source = "127.0.0.1");
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Sends all of `bytes`; false when the connection is gone.
    bool send(std::string_view bytes);
    // Reads one answer: the header and a body of Content-Length bytes (none for a HEAD request
    // or a 304). Nothing when the connection closes or `timeout` passes first.
    std::optional<RawResponse> read(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                    bool head = false);
    // Sends a GET of `target` and reads its answer.
    std::optional<RawResponse> get(const std::string& target);
    // Whether the server closes the connection within `timeout`; reads and drops what comes.
    bool closedWithin(std::chrono::milliseconds timeout);

    int fd() const { return fd_; }
    std::uint16_t localPort() const;

  private:
    int fd_ = -1;
    std::string pending_;  // bytes read beyond the last answer
};

}  // namespace testing_support
