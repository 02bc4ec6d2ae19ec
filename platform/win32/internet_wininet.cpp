// HTTP access over WinINet. The session, connection and request own their HINTERNET handles; the
// request's handle is closed before its connection's, and that before the session's, because each
// object keeps its parent alive.
//
// WinINet keeps the connect and stall limits, which are set on each request as options. It has no
// limit on a whole request, and its own limits start again with every byte received, so a server
// that trickles its headers would hold HttpSendRequestA without end. The total limit is kept
// here: a timer closes the request's handle at the deadline (closing the handle is how a waiting
// synchronous WinINet call is ended), every wait WinINet is given ends by the deadline, and read()
// takes only what has arrived, so that a body that trickles in still returns to the check. Redirects are followed here, at most ten: WinINet would follow a loop for
// ever. Nor does WinINet notice a body that ends before its Content-Length (it reads that as a
// normal end), so read() compares the two.

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "platform/internet.h"

namespace platform {

namespace {

// Closes a WinINet handle on every way out; closing a null handle does nothing.
class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Gives up the handle without closing it.
    HINTERNET release() {
        HINTERNET handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    // Closes the handle held so far and holds `handle`.
    void reset(HINTERNET handle = nullptr) {
        if (handle_ != nullptr) {
            // The last error belongs to the caller's failure, not to this clean-up.
            const DWORD error = GetLastError();
            InternetCloseHandle(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }

  private:
    HINTERNET handle_;
};

// Redirects followed within one request before the last redirect response is handed back.
constexpr int kMaxRedirects = 10;

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

InternetScheme schemeOf(INTERNET_SCHEME scheme) {
    switch (scheme) {
        case INTERNET_SCHEME_HTTP:
            return InternetScheme::Http;
        case INTERNET_SCHEME_HTTPS:
            return InternetScheme::Https;
        case INTERNET_SCHEME_FILE:
            return InternetScheme::File;
        case INTERNET_SCHEME_UNKNOWN:
        case INTERNET_SCHEME_DEFAULT:
            return InternetScheme::Unknown;
        default:
            return InternetScheme::Other;
    }
}

bool isSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// "scheme:" at the start, as the splitter would take it. WinINet rejects URLs without one, but to
// the download they are file names.
bool hasSchemePrefix(const std::string& url) {
    std::size_t colon = 0;
    while (colon < url.size() && isSchemeChar(url[colon])) {
        ++colon;
    }
    const char first = url.empty() ? '\0' : url[0];
    return colon > 0 && colon < url.size() && url[colon] == ':' &&
           ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'));
}

// The URL's authority has a host without a colon outside brackets and, when it names a port, a
// number WinINet can use: WinINet itself reads "99999" as 34463 and "8x" as 8, and takes
// "http://a:b:80/" for the host "a:b".
bool authorityIsValid(const std::string& url) {
    const std::size_t start = url.find("//");
    if (start == std::string::npos) {
        return true;
    }
    const std::size_t end = url.find_first_of("/?#", start + 2);
    std::string authority = url.substr(start + 2, end == std::string::npos ? end : end - start - 2);
    authority =
        authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    std::string port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t bracket = authority.find(']');
        if (bracket == std::string::npos) {
            return false;
        }
        const std::string rest = authority.substr(bracket + 1);
        if (!rest.empty() && rest.front() != ':') {
            return false;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        if (colon == std::string::npos) {
            return true;
        }
        port = authority.substr(colon + 1);
    }
    return port.empty() ||
           (port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
            std::stoul(port) <= 65535);
}

DWORD clampToDword(std::size_t value) {
    return static_cast<DWORD>(std::min<std::size_t>(value, std::numeric_limits<DWORD>::max()));
}

// A header that HttpQueryInfoA gives as text, in a buffer that grows to fit.
bool queryText(HINTERNET request, DWORD info, std::string& text) {
    std::vector<char> buffer(256);
    for (;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (HttpQueryInfoA(request, info, buffer.data(), &length, nullptr)) {
            text.assign(buffer.data(), std::min<std::size_t>(length, buffer.size()));
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length <= buffer.size()) {
            return false;
        }
        buffer.resize(length + 1);
    }
}

// A limit in milliseconds as WinINet's options take it; 0 would mean "none" to some versions.
DWORD timeoutOption(std::uint32_t milliseconds) {
    return std::max<DWORD>(milliseconds, 1);
}

}  // namespace

struct InternetSession::Native {
    explicit Native(HINTERNET handle) : root(handle) {}
    InternetHandle root;
};

struct HttpConnection::Native {
    explicit Native(HINTERNET connection) : handle(connection) {}
    InternetHandle handle;
};

InternetSession::InternetSession(std::string agent) : agent_(std::move(agent)) {}

InternetSession::~InternetSession() = default;

bool crackUrl(const std::string& url, std::size_t hostCapacity, std::size_t pathCapacity,
              UrlParts& parts) {
    parts = UrlParts{};
    if (!hasSchemePrefix(url)) {
        // A plain file name, relative or absolute.
        if (url.size() + 1 > pathCapacity) {
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        parts.path = url;
        return true;
    }
    if (hostCapacity == 0 || pathCapacity == 0) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::vector<char> host(hostCapacity);
    std::vector<char> path(pathCapacity);
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host.data();
    components.dwHostNameLength = clampToDword(hostCapacity);
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = clampToDword(pathCapacity);
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &components)) {
        return false;
    }
    parts.scheme = schemeOf(components.nScheme);
    parts.host.assign(host.data(), components.dwHostNameLength);
    parts.path.assign(path.data(), components.dwUrlPathLength);
    parts.port = parts.scheme == InternetScheme::File ? 0 : components.nPort;
    const bool network = parts.scheme == InternetScheme::Http ||
                         parts.scheme == InternetScheme::Https ||
                         parts.scheme == InternetScheme::Other;
    if (network) {
        // A fragment never travels to the server.
        parts.path = parts.path.substr(0, parts.path.find('#'));
        // An IPv6 address is a host name without its brackets.
        if (parts.host.size() >= 2 && parts.host.front() == '[' && parts.host.back() == ']') {
            parts.host = parts.host.substr(1, parts.host.size() - 2);
        }
    }
    // A request needs a host and a usable port; WinINet lets both through to fail or go astray
    // later.
    if ((network && (parts.host.empty() || !authorityIsValid(url))) ||
        (parts.scheme == InternetScheme::File && parts.path.empty())) {
        parts = UrlParts{};
        return fail(ERROR_INTERNET_INVALID_URL);
    }
    return true;
}

void InternetSession::releaseAtUnload(std::shared_ptr<InternetSession> session) noexcept {
    if (session) {
        // Never freed: the process's end closes what is left.
        new (std::nothrow) std::shared_ptr<InternetSession>(std::move(session));
    }
}

std::shared_ptr<InternetSession> InternetSession::open(const std::string& agent) {
    // Everything that can throw comes before the handle exists, so no failure leaks it.
    std::shared_ptr<InternetSession> session(new InternetSession(agent));
    session->native_ = std::make_unique<Native>(nullptr);
    // Proxy settings as the user configured them; synchronous use.
    HINTERNET root =
        InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (root == nullptr) {
        return nullptr;
    }
    session->native_->root.reset(root);
    return session;
}

HttpConnection::HttpConnection() = default;

HttpConnection::~HttpConnection() = default;

std::unique_ptr<HttpConnection> HttpConnection::connect(std::shared_ptr<InternetSession> session,
                                                        const std::string& host, std::uint16_t port,
                                                        InternetScheme scheme) {
    if (!session) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // WinINet refuses an empty host name here; like any host that cannot be resolved, it fails
    // when the request is sent.
    // As in open(): the owners exist before the handle does.
    std::unique_ptr<HttpConnection> connection(new HttpConnection());
    connection->native_ = std::make_unique<Native>(nullptr);
    if (!host.empty()) {
        HINTERNET handle = InternetConnectA(session->native_->root.get(), host.c_str(), port, "",
                                            "", INTERNET_SERVICE_HTTP, 0, 0);
        if (handle == nullptr) {
            return nullptr;
        }
        connection->native_->handle.reset(handle);
    }
    connection->session_ = std::move(session);
    connection->host_ = host;
    connection->port_ = port;
    connection->scheme_ = scheme;
    return connection;
}

struct HttpRequest::State {
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<InternetSession> session;  // outlives the handles below
    InternetTimeouts timeouts;
    // The end of the total limit, from send() on.
    Clock::time_point deadline = Clock::time_point::max();
    std::string verb;
    std::string version;
    // The connection of the last redirect that left the first one; closed after the request.
    InternetHandle redirectConnection;
    // The request's handle, which the deadline's timer may close from its own thread: changed
    // only under handleMutex, and read through request().
    mutable std::mutex handleMutex;
    InternetHandle handle;
    HANDLE deadlineTimer = nullptr;
    bool expired = false;  // the timer closed the handle (under handleMutex)
    bool sent = false;
    bool ended = false;
    std::uint64_t received = 0;
    bool lengthKnown = false;
    std::uint64_t announced = 0;
    DWORD connectLimit = 0;  // the time-outs now set on the handle
    DWORD waitLimit = 0;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    // The timer goes first: its callback may be running, and it uses the handle.
    ~State() { disarm(); }

    // The request's handle; null once the deadline has closed it.
    HINTERNET request() const {
        std::lock_guard lock(handleMutex);
        return handle.get();
    }

    void replaceHandle(HINTERNET next) {
        std::lock_guard lock(handleMutex);
        handle.reset(next);
    }

    static void CALLBACK onDeadline(void* self, BOOLEAN) {
        auto* state = static_cast<State*>(self);
        std::lock_guard lock(state->handleMutex);
        state->expired = true;
        state->handle.reset();
    }

    // Starts the timer that ends the request at the deadline.
    bool arm(std::uint64_t milliseconds) {
        const auto due = static_cast<DWORD>(
            std::min<std::uint64_t>(milliseconds, std::numeric_limits<DWORD>::max() - 1));
        return CreateTimerQueueTimer(&deadlineTimer, nullptr, &State::onDeadline, this, due, 0,
                                     WT_EXECUTEONLYONCE) != FALSE;
    }

    // Stops the timer, waiting for a callback that is running.
    void disarm() {
        if (deadlineTimer != nullptr) {
            const DWORD error = GetLastError();
            DeleteTimerQueueTimer(nullptr, deadlineTimer, INVALID_HANDLE_VALUE);
            SetLastError(error);
            deadlineTimer = nullptr;
        }
    }

    // A call that failed because the deadline closed its handle failed by the total limit.
    bool failed() {
        std::lock_guard lock(handleMutex);
        if (expired) {
            SetLastError(ERROR_INTERNET_TIMEOUT);
        }
        return false;
    }

    bool setOption(DWORD option, DWORD value) {
        return InternetSetOptionA(request(), option, &value, sizeof value) != FALSE;
    }

    // Milliseconds left of the total limit, rounded up; 0 once it has run out.
    std::uint64_t millisecondsLeft() const {
        if (deadline == Clock::time_point::max()) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        const auto now = Clock::now();
        return now >= deadline
                   ? 0
                   : static_cast<std::uint64_t>(
                         std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }

    // Sets how long WinINet may wait to connect and for the next bytes to go or come: the connect
    // and stall limits, shortened to the time left of the total limit. Fails as a stall does
    // (ERROR_INTERNET_TIMEOUT) once no time is left.
    bool applyWaitLimit() {
        const std::uint64_t left = millisecondsLeft();
        if (left == 0) {
            return fail(ERROR_INTERNET_TIMEOUT);
        }
        const DWORD connect = timeoutOption(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(timeouts.connectMilliseconds, left)));
        const DWORD wait = timeoutOption(
            static_cast<std::uint32_t>(std::min<std::uint64_t>(timeouts.stallMilliseconds, left)));
        if (connect != connectLimit) {
            if (!setOption(INTERNET_OPTION_CONNECT_TIMEOUT, connect)) {
                return false;
            }
            connectLimit = connect;
        }
        if (wait != waitLimit) {
            if (!setOption(INTERNET_OPTION_SEND_TIMEOUT, wait) ||
                !setOption(INTERNET_OPTION_RECEIVE_TIMEOUT, wait)) {
                return false;
            }
            waitLimit = wait;
        }
        return true;
    }

    // The body has arrived in full, as far as its Content-Length tells.
    bool wholeBodyReceived() const { return lengthKnown && received >= announced; }

    // Opens the request for `path` on `connection` with the session's limits. Redirects are
    // followed by send(), which limits their number; WinINet would follow a loop for ever.
    bool open(HINTERNET connection, bool secure, const std::string& path) {
        // Every request goes to the server: a cached answer would freeze a channel for as long
        // as the host runs. Cookies are not this plug-in's business.
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                      INTERNET_FLAG_NO_AUTO_REDIRECT;
        if (secure) {
            flags |= INTERNET_FLAG_SECURE;
        }
        HINTERNET request = HttpOpenRequestA(connection, verb.c_str(), path.c_str(),
                                             version.c_str(), nullptr, nullptr, flags, 0);
        if (request == nullptr) {
            return false;
        }
        replaceHandle(request);
        connectLimit = 0;
        waitLimit = 0;
        return applyWaitLimit();
    }

    std::uint32_t status() const {
        DWORD code = 0;
        DWORD size = sizeof code;
        if (!HttpQueryInfoA(request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                            &size, nullptr)) {
            return 0;
        }
        return code;
    }

    // The absolute URL a redirect response points to, when it has a Location that a request can
    // follow (HTTP or HTTPS).
    bool redirectTarget(UrlParts& target) const {
        std::string location;
        if (!queryText(request(), HTTP_QUERY_LOCATION, location) || location.empty()) {
            return false;
        }
        std::vector<char> current(4096);
        DWORD length = static_cast<DWORD>(current.size());
        if (!InternetQueryOptionA(request(), INTERNET_OPTION_URL, current.data(), &length)) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                return false;
            }
            current.resize(length + 1);
            length = static_cast<DWORD>(current.size());
            if (!InternetQueryOptionA(request(), INTERNET_OPTION_URL, current.data(), &length)) {
                return false;
            }
        }
        std::vector<char> combined(current.size() + location.size() + 1024);
        DWORD combinedLength = static_cast<DWORD>(combined.size());
        if (!InternetCombineUrlA(current.data(), location.c_str(), combined.data(), &combinedLength,
                                 0)) {
            return false;
        }
        return crackUrl(std::string(combined.data(), combinedLength), 1024, 4096, target) &&
               (target.scheme == InternetScheme::Http || target.scheme == InternetScheme::Https);
    }

    // Moves the request to where the redirect points. False (the last error set) when the new
    // request cannot be opened.
    bool follow(const UrlParts& target) {
        HINTERNET connection = InternetConnectA(session->native_->root.get(), target.host.c_str(),
                                                target.port, "", "", INTERNET_SERVICE_HTTP, 0, 0);
        if (connection == nullptr) {
            return false;
        }
        InternetHandle owner(connection);
        if (!open(connection, target.scheme == InternetScheme::Https, target.path)) {
            replaceHandle(nullptr);  // a request goes before its connection
            return false;
        }
        // The old request is closed by now; its connection may follow.
        redirectConnection.reset(owner.release());
        return true;
    }

    // The Content-Length of the response, when it announced one and the status allows a body.
    void readAnnouncedLength() {
        const std::uint32_t code = status();
        if (code < 200 || code == 204 || code == 304) {
            return;
        }
        std::string text;
        if (!queryText(request(), HTTP_QUERY_CONTENT_LENGTH, text) || text.empty() ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return;
        }
        announced = std::strtoull(text.c_str(), nullptr, 10);
        lengthKnown = true;
    }
};

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}

HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpRequest::open(HttpConnection& connection, const std::string& verb,
                                               const std::string& path,
                                               const std::string& version) {
    if (!connection.native_ || !connection.session_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->session = connection.session_;
    state->timeouts = connection.session_->timeouts();
    state->verb = verb;
    state->version = version;
    // Without a host there is nothing to open; send() fails as for an unknown host.
    if (connection.native_->handle &&
        !state->open(connection.native_->handle.get(), connection.scheme_ == InternetScheme::Https,
                     path)) {
        return nullptr;
    }
    return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(state)));
}

bool HttpRequest::send() {
    State& s = *state_;
    if (s.sent) {
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    if (s.request() == nullptr) {
        return fail(ERROR_INTERNET_NAME_NOT_RESOLVED);
    }
    s.deadline = State::Clock::now() + std::chrono::milliseconds(s.timeouts.totalMilliseconds);
    if (!s.arm(s.timeouts.totalMilliseconds)) {
        return false;
    }
    for (int redirects = 0;; ++redirects) {
        if (!s.applyWaitLimit() || !HttpSendRequestA(s.request(), nullptr, 0, nullptr, 0)) {
            return s.failed();
        }
        const std::uint32_t code = s.status();
        const bool redirect =
            code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
        UrlParts target;
        // A redirect that cannot be followed (no usable Location, too many) is the response.
        if (!redirect || redirects == kMaxRedirects || !s.redirectTarget(target)) {
            break;
        }
        if (!s.follow(target)) {
            return s.failed();
        }
    }
    s.sent = true;
    s.readAnnouncedLength();
    return true;
}

bool HttpRequest::queryStatusCode(std::uint32_t& code) const {
    if (!state_->sent) {
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoA(state_->request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &status, &size, nullptr)) {
        return false;
    }
    code = status;
    return true;
}

bool HttpRequest::queryStatusText(std::string& text) const {
    if (!state_->sent) {
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    return queryText(state_->request(), HTTP_QUERY_STATUS_TEXT, text);
}

bool HttpRequest::queryLocation(std::string& location) const {
    if (!state_->sent) {
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    return queryText(state_->request(), HTTP_QUERY_LOCATION, location);
}

bool HttpRequest::read(char* buffer, std::size_t capacity, std::size_t& count) {
    State& s = *state_;
    count = 0;
    if (!s.sent) {
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    if (capacity == 0 || s.ended) {
        return true;
    }
    // A body that keeps coming, however fast, still ends at the total limit; one that has all
    // arrived is read out.
    if (!s.wholeBodyReceived() && !s.applyWaitLimit()) {
        return s.failed();
    }
    // Only what has arrived: InternetReadFile would wait to fill the whole buffer. Nothing
    // available means the body has ended.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(s.request(), &available, 0, 0)) {
        return s.failed();
    }
    const DWORD wanted =
        available == 0 ? clampToDword(capacity) : std::min(available, clampToDword(capacity));
    DWORD got = 0;
    if (!InternetReadFile(s.request(), buffer, wanted, &got)) {
        return s.failed();
    }
    if (got == 0) {
        if (s.lengthKnown && s.received < s.announced) {
            return fail(ERROR_INTERNET_CONNECTION_ABORTED);
        }
        s.ended = true;
        s.disarm();
        return true;
    }
    s.received += got;
    count = got;
    if (s.wholeBodyReceived()) {
        s.disarm();  // what has all arrived is read out, however late
    }
    return true;
}

}  // namespace platform
