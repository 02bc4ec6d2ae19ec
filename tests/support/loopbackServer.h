// An in-process web service for tests: listens on 127.0.0.1 on an ephemeral port, answers from a
// pool of background threads, and stops (waking any stalled answer) in its destructor.
//
// Built-in routes (GET):
//   /answer             200, text/xml body kAnswerBody
//   /missing            404 with body kMissingBody
//   /redirect           302 to /answer (followed by the client)
//   /redirect-nowhere   302 without a Location header (cannot be followed)
//   /redirect-loop      302 to itself (too many redirects)
//   /empty              200 with an empty body
//   /large              200 with kLargeSize bytes, the pattern largeBody()
//   /echo               200, the body is the request target (path and query) as received
//   /truncated          announces Content-Length 1000, sends 100 bytes, closes the connection
//   /truncated-chunked  chunked body that breaks off without its last chunk
//   /stall-headers      sends nothing until the stall ends (see setStall)
//   /stall-body         headers and 100 of 1000 announced bytes, then nothing until the stall ends
// Every request to any path is recorded (requests(), requestCount()).
//
// Tests add or replace routes at any time with serve(), serveInPieces(), serveCutShort() or, for
// a handler of their own, route(); a path without a route answers 404 with body "Not found: " and
// the path. All members are thread-safe.
//
// In the Windows build, which has no server library, the server is a native process that Wine's
// programs reach over the loopback network (loopbackService.cpp): every member but route() works
// there the same way, so tests that the Windows build runs too keep to the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testing_support {

struct RecordedRequest {
    std::string method;
    std::string target;   // path and query exactly as received
    std::string version;  // such as "HTTP/1.1"
    // Header lines as sent by the client, ordered by name ignoring case.
    std::vector<std::pair<std::string, std::string>> headers;

    // Value of the first header whose name equals `name` ignoring case; empty when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

class LoopbackServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    static constexpr const char* kAnswerBody = "<?xml version=\"1.0\"?><answer>OK</answer>";
    static constexpr const char* kMissingBody = "<html>Page not found</html>";
    static constexpr std::size_t kLargeSize = 150000;

    // Starts listening; throws std::runtime_error when no port can be bound.
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `target`.
    std::string url(const std::string& target) const;

    // Answers GET requests for exactly `path` (without query) with `handler`.
    void route(const std::string& path, Handler handler);
    // Answers `path` with `status` and `body` (its Content-Length announced).
    void serve(const std::string& path, std::string body,
               std::string contentType = "text/xml; charset=utf-8", int status = 200);
    // Answers `path` with `status` and `body` sent chunked, `piece` bytes per write, waiting
    // `pause` between writes (a stop of the server ends the wait and the answer).
    void serveInPieces(const std::string& path, std::string body, std::size_t piece,
                       std::chrono::milliseconds pause = std::chrono::milliseconds(0),
                       int status = 200);
    // Answers `path` with `status`, announcing a Content-Length of `announced` bytes but sending
    // only `body` (shorter), then closing the connection.
    void serveCutShort(const std::string& path, std::string body, std::size_t announced,
                       int status = 200);

    // Requests received so far whose target, without its query, is `path` (as sent, not decoded).
    std::size_t requestCount(const std::string& path) const;
    std::vector<RecordedRequest> requests() const;

    // How long the stall routes hold back (default 10 s); the destructor ends a stall early.
    void setStall(std::chrono::milliseconds stall);

    // The body of /large: kLargeSize bytes of a repeating pattern.
    static std::string largeBody();

  private:
    void dispatch(const httplib::Request& request, httplib::Response& response);
    // Waits until the stall time passed or the server stops.
    void stall();
    // Waits `pause`; false when the server stops.
    bool pauseUnlessStopped(std::chrono::milliseconds pause);

    struct ServerDeleter {
        void operator()(httplib::Server* server) const;
    };
    std::unique_ptr<httplib::Server, ServerDeleter> server_;
    std::uint16_t port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::chrono::milliseconds stall_{10000};
    std::map<std::string, Handler> routes_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace testing_support
