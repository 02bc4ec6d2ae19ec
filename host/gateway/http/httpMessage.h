// The gateway's HTTP messages and the handler interface between the HTTP engine and the routes.
//
// An engine reads a request, hands it to a RequestHandler and writes whatever response the
// handler passes to its Responder; the handler never sees sockets or the engine's types, so the
// routes can be tested and fuzzed without a network, and the engine can be replaced.
//
// A response body shares its bytes (Body): a cached feed is served from the one copy the cache
// holds, for as long as the answer is being written, however long that takes.
//
// Thread-safety: the types are plain values. A handler is called from the engine's threads,
// several at once; a Responder may be called from any thread, exactly once.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

struct HttpHeader {
    std::string name;
    std::string value;
};

struct HttpRequest {
    std::string method;  // as sent, e.g. "GET"
    std::string target;  // as sent: the path and the query
    std::string path;    // the target up to '?', not decoded
    std::string query;   // after '?', not decoded; empty without one
    std::vector<HttpHeader> headers;
    std::string peer;  // the client's address, e.g. "127.0.0.1" or "::1"
    int versionMajor = 1;
    int versionMinor = 1;

    // The value of the first header named `name` (letter case ignored), or null.
    const std::string* header(std::string_view name) const;
    std::string version() const;  // "HTTP/1.1"
};

// Bytes of a response body: a range of a shared, immutable text. Copying a Body copies a pointer.
class Body {
  public:
    Body() = default;
    // Owns `text`.
    explicit Body(std::string text);
    // Shares `length` bytes of `*storage` from `offset`; the range is clamped to the text.
    Body(std::shared_ptr<const std::string> storage, std::size_t offset, std::size_t length);

    std::string_view view() const;
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    // Whether this body and `other` read the same bytes in memory (not merely equal ones).
    bool sharesWith(const Body& other) const;

  private:
    std::shared_ptr<const std::string> storage_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
};

struct HttpResponse {
    int status = 200;
    // Fields of the handler's own; the engine adds Date, Content-Length, Connection and
    // Keep-Alive.
    std::vector<HttpHeader> headers;
    Body body;
    bool close = false;  // close the connection after this answer

    // Sets `name` to `value`, replacing an earlier field of that name.
    void set(std::string_view name, std::string value);
    const std::string* header(std::string_view name) const;
    // Status and a plain-text body in one step; from 400 on with X-Content-Type-Options: nosniff.
    static HttpResponse text(int status, std::string text);
};

// Passes the response to the engine; call it exactly once, from any thread.
using Responder = std::function<void(HttpResponse)>;

class RequestHandler {
  public:
    virtual ~RequestHandler() = default;
    // Answers `request` through `respond`, at once or later from another thread; must not block
    // for long, since it runs on one of the engine's few threads. `request` lives only for this
    // call.
    virtual void handle(const HttpRequest& request, Responder respond) = 0;
    // Called once an answer has been written (or the connection broke while writing it), with
    // the time from the request's arrival; also for answers the engine gives itself (timeouts,
    // malformed requests, refused connections), where the request may be partly empty.
    virtual void answered(const HttpRequest& request, const HttpResponse& response,
                          std::size_t bytesSent, std::chrono::microseconds elapsed) {
        (void)request;
        (void)response;
        (void)bytesSent;
        (void)elapsed;
    }
};

}  // namespace host
