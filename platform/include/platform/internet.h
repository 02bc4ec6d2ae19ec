// HTTP access in the shape the download code expects: a root session handle, a URL splitter, a
// connection (host and port under a session) and a GET request that is sent, queried for its
// status and headers, and read in parts.
//
// Failures are reported by a false or null result with the calling thread's last error set
// (platform/error.h); nothing here throws for a network failure. Handles are RAII owners and not
// copyable; a request must not outlive its connection, nor a connection its session.
// A session may be shared by requests running on several threads; one request is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class InternetScheme { Unknown, Http, Https, File, Other };

struct UrlParts {
    InternetScheme scheme = InternetScheme::Unknown;
    std::string host;
    std::uint16_t port = 0;  // 0 when the URL names none (Windows names the scheme's default)
    std::string path;        // path with any query part; for "file://" URLs the local path
};

// Splits a URL. A URL without a "scheme:" prefix has the Unknown scheme and is all path. Fails
// (false) for a known scheme without a host, or when the host or path would not fit their
// capacities (counting a terminator, as fixed buffers of those sizes would). A "file:///" URL's
// path is a local file name with its %XX escapes decoded ("file:///tmp/a%20b.xml" names
// "/tmp/a b.xml"); a "file://host/..." URL's path is left as it is.
bool crackUrl(const std::string& url, std::size_t hostCapacity, std::size_t pathCapacity,
              UrlParts& parts);

// Time limits of a session: connecting, a response that stalls (no byte for that long), and the
// whole request from send() to the end of its body, so that a service that trickles bytes just
// fast enough to dodge the stall limit cannot hold a request for ever. Exceeding the total limit
// fails send() or read() as a stall does.
struct InternetTimeouts {
    std::uint32_t connectMilliseconds = 60000;
    std::uint32_t stallMilliseconds = 30000;
    std::uint32_t totalMilliseconds = 120000;
};

class InternetSession {
public:
    // Opens a session that sends `agent` as its User-Agent and takes proxy settings from the
    // environment (on Windows, the user's settings). Returns null with the last error set when it
    // cannot be opened.
    static std::shared_ptr<InternetSession> open(const std::string& agent);

    // For a session still held when the library that holds it is unloaded or the process exits
    // (a static destructor): on Windows the root handle stays open to the end of the process,
    // since closing it there runs under the system's loader lock; elsewhere it is closed as
    // usual once its last holder lets go.
    static void releaseAtUnload(std::shared_ptr<InternetSession> session) noexcept;

    ~InternetSession();
    InternetSession(const InternetSession&) = delete;
    InternetSession& operator=(const InternetSession&) = delete;

    const std::string& agent() const { return agent_; }
    const InternetTimeouts& timeouts() const { return timeouts_; }
    // Shorter limits for tests; the defaults are the platform's.
    void setTimeouts(const InternetTimeouts& timeouts) { timeouts_ = timeouts; }

private:
    friend class HttpConnection;
    friend class HttpRequest;
    // What the implementation keeps of the system's session (the root handle where it has one).
    struct Native;
    explicit InternetSession(std::string agent);
    std::string agent_;
    InternetTimeouts timeouts_;
    std::unique_ptr<Native> native_;
};

class HttpRequest;

// A connection handle for one host and port under a session. Creating it does not touch the
// network: resolving and contacting the host happen when a request is sent.
class HttpConnection {
public:
    // Null with the last error set when `session` is null.
    static std::unique_ptr<HttpConnection> connect(std::shared_ptr<InternetSession> session,
                                                   const std::string& host, std::uint16_t port,
                                                   InternetScheme scheme);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

private:
    friend class HttpRequest;
    // The system's connection handle, where the implementation has one.
    struct Native;
    HttpConnection();
    std::shared_ptr<InternetSession> session_;
    std::string host_;
    std::uint16_t port_ = 0;
    InternetScheme scheme_ = InternetScheme::Http;
    std::unique_ptr<Native> native_;
};

// One GET request. Redirects are followed while sending; only a redirect that could not be
// followed (no Location, too many) is left as the response.
class HttpRequest {
public:
    static std::unique_ptr<HttpRequest> open(HttpConnection& connection, const std::string& verb,
                                             const std::string& path, const std::string& version);
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Resolves and contacts the host, sends the request and waits for the status line and headers.
    bool send();
    bool queryStatusCode(std::uint32_t& code) const;
    bool queryStatusText(std::string& text) const;
    // The Location header of the response; false when there is none.
    bool queryLocation(std::string& location) const;
    // Reads the next part of the body, at most `capacity` bytes, into `buffer`; `count` 0 means the
    // body has ended. False when the connection fails, stalls, exceeds the total time limit or ends
    // before the announced length.
    bool read(char* buffer, std::size_t capacity, std::size_t& count);

private:
    struct State;
    explicit HttpRequest(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform
