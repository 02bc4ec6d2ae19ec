// HTTP access over libcurl. Each request drives its own multi handle from send() and read(), so the
// body is copied from curl's write callback straight into the caller's buffer; when that buffer is
// full the transfer is paused, and at most the rest of one callback waits in an overflow tail.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/error.h"
#include "platform/internet.h"
#include "textEscape.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Redirects followed within one request before the last redirect response is handed back.
constexpr long kMaxRedirects = 10;
// Size of curl's receive buffer, and so of the largest piece one write callback delivers.
constexpr long kReceiveBufferSize = 65536;

bool fail(unsigned long error) {
    setLastError(error);
    return false;
}

bool globalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

// errno values stand in for the platform's error numbers of a failed transfer.
unsigned long errorNumberFor(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return 0;
        case CURLE_OUT_OF_MEMORY:
            return ENOMEM;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return EINVAL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return EHOSTUNREACH;
        case CURLE_COULDNT_CONNECT:
            return ECONNREFUSED;
        case CURLE_OPERATION_TIMEDOUT:
            return ETIMEDOUT;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
            return ECONNRESET;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return EPROTO;
        case CURLE_TOO_MANY_REDIRECTS:
            return ELOOP;
        default:
            return EIO;
    }
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool isSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
}

// Splits "user:password@host:port" into host and port; false for a bad port or bracket.
bool splitAuthority(const std::string& authority, std::string& host, std::uint16_t& port) {
    const std::size_t at = authority.rfind('@');
    const std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
    std::string portText;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = hostPort.substr(1, close - 1);
        const std::string rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            portText = rest.substr(1);
        }
    } else {
        const std::size_t colon = hostPort.rfind(':');
        host = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            portText = hostPort.substr(colon + 1);
        }
        // Only brackets may hold a colon in a host ("http://a:b:80/" has no valid port).
        if (host.find(':') != std::string::npos) {
            return false;
        }
    }
    port = 0;
    if (portText.empty()) {
        return true;
    }
    if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    const unsigned long number = std::strtoul(portText.c_str(), nullptr, 10);
    if (number > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(number);
    return true;
}

// The URL as curl takes it: bytes that may not appear raw in a request target are escaped.
std::string curlUrl(InternetScheme scheme, const std::string& host, std::uint16_t port,
                    const std::string& path) {
    std::string url = scheme == InternetScheme::Https ? "https://" : "http://";
    if (host.find(':') != std::string::npos) {
        url += '[' + host + ']';
    } else {
        url += host;
    }
    url += ':' + std::to_string(port);
    if (path.empty() || path.front() != '/') {
        url += '/';
    }
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == '#') {
            url += '%';
            text::appendHexByte(url, byte);
        } else {
            url += c;
        }
    }
    return url;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

bool crackUrl(const std::string& url, std::size_t hostCapacity, std::size_t pathCapacity,
              UrlParts& parts) {
    parts = UrlParts{};
    std::size_t colon = 0;
    while (colon < url.size() && isSchemeChar(url[colon])) {
        ++colon;
    }
    const bool hasScheme = colon > 0 && colon < url.size() && url[colon] == ':' &&
                           std::isalpha(static_cast<unsigned char>(url[0])) != 0;
    if (!hasScheme) {
        // A plain file name, relative or absolute.
        parts.path = url;
    } else {
        const std::string name = lowerCase(url.substr(0, colon));
        if (name == "http") {
            parts.scheme = InternetScheme::Http;
        } else if (name == "https") {
            parts.scheme = InternetScheme::Https;
        } else if (name == "file") {
            parts.scheme = InternetScheme::File;
        } else if (name == "ftp") {
            parts.scheme = InternetScheme::Other;
        }
        std::string rest = url.substr(colon + 1);
        const bool hasAuthority = rest.rfind("//", 0) == 0;
        if (parts.scheme == InternetScheme::File) {
            // "file:///dir/name" and "file://localhost/dir/name" both name /dir/name.
            if (hasAuthority) {
                const std::size_t slash = rest.find('/', 2);
                parts.host =
                    rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
                parts.path = slash == std::string::npos ? std::string() : rest.substr(slash);
            } else {
                parts.path = rest;
            }
            if (parts.path.empty()) {
                return fail(EINVAL);
            }
            // A local path is a file name, with the URL's escapes decoded, as Windows does; %00
            // stays (no file name holds a zero byte).
            if (hasAuthority && parts.host.empty()) {
                parts.path = text::percentDecode(parts.path, text::ZeroByte::keepEscaped);
            }
        } else {
            std::string pathPart = rest;
            if (hasAuthority) {
                const std::size_t end = rest.find_first_of("/?#", 2);
                const std::string authority =
                    rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
                pathPart = end == std::string::npos ? std::string() : rest.substr(end);
                if (!splitAuthority(authority, parts.host, parts.port)) {
                    if (parts.scheme != InternetScheme::Unknown) {
                        return fail(EINVAL);
                    }
                    parts.host = authority;
                    parts.port = 0;
                }
            }
            if (parts.scheme != InternetScheme::Unknown && parts.host.empty()) {
                return fail(EINVAL);
            }
            // A fragment never travels to the server.
            if (parts.scheme != InternetScheme::Unknown) {
                pathPart = pathPart.substr(0, pathPart.find('#'));
            }
            parts.path = pathPart;
        }
    }
    if (parts.host.size() + 1 > hostCapacity || parts.path.size() + 1 > pathCapacity) {
        parts = UrlParts{};
        return fail(ENAMETOOLONG);
    }
    return true;
}

void InternetSession::releaseAtUnload(std::shared_ptr<InternetSession>) noexcept {}

std::shared_ptr<InternetSession> InternetSession::open(const std::string& agent) {
    if (!globalInit()) {
        setLastError(ENOMEM);
        return nullptr;
    }
    return std::shared_ptr<InternetSession>(new InternetSession(agent));
}

// curl keeps no session or connection state of its own: each request carries everything.
struct InternetSession::Native {};
struct HttpConnection::Native {};

InternetSession::InternetSession(std::string agent) : agent_(std::move(agent)) {}

InternetSession::~InternetSession() = default;

std::unique_ptr<HttpConnection> HttpConnection::connect(std::shared_ptr<InternetSession> session,
                                                        const std::string& host, std::uint16_t port,
                                                        InternetScheme scheme) {
    if (!session) {
        setLastError(EBADF);
        return nullptr;
    }
    std::unique_ptr<HttpConnection> connection(new HttpConnection());
    connection->session_ = std::move(session);
    connection->host_ = host;
    connection->port_ = port;
    connection->scheme_ = scheme;
    return connection;
}

HttpConnection::HttpConnection() = default;

HttpConnection::~HttpConnection() = default;

struct HttpRequest::State {
    // The response whose headers arrived last; a new status line starts a new one.
    struct Response {
        bool statusSeen = false;
        bool headersDone = false;
        std::uint32_t code = 0;
        std::string text;
        std::optional<std::string> location;
    };

    std::shared_ptr<InternetSession> session;  // keeps curl's user of it alive
    InternetTimeouts timeouts;
    // Declared so that the easy handle goes first, then its header list, then the multi handle.
    std::unique_ptr<CURLM, MultiDeleter> multi;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::unique_ptr<CURL, EasyDeleter> easy;
    bool added = false;

    Response response;
    bool finalHeaders = false;  // the response that the caller sees has all its headers
    bool sent = false;
    bool done = false;  // the transfer has ended, with `result`
    CURLcode result = CURLE_OK;
    bool stalled = false;  // no progress within the stall limit, or past the total limit
    Clock::time_point deadline = Clock::time_point::max();

    bool connected = false;  // the request is on the wire; the stall limit applies
    Clock::time_point lastActivity;
    curl_off_t lastDownloaded = -1;

    char* dest = nullptr;  // the buffer of the read in progress
    std::size_t destCapacity = 0;
    std::size_t destLength = 0;
    std::string overflow;  // the part of one callback that did not fit
    std::size_t overflowPos = 0;
    bool paused = false;

    ~State() {
        if (added) {
            curl_multi_remove_handle(multi.get(), easy.get());
        }
    }

    void touch() { lastActivity = Clock::now(); }

    static bool isFollowedRedirect(const Response& r) {
        return r.code >= 300 && r.code < 400 && r.location.has_value();
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<State*>(user);
        const std::size_t length = size * count;
        self->touch();
        std::string line(data, length);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        Response& r = self->response;
        if (line.rfind("HTTP/", 0) == 0) {
            r = Response{};
            r.statusSeen = true;
            const std::size_t space = line.find(' ');
            if (space != std::string::npos) {
                std::size_t pos = space + 1;
                std::uint32_t code = 0;
                while (pos < line.size() && std::isdigit(static_cast<unsigned char>(line[pos]))) {
                    code = code * 10 + static_cast<std::uint32_t>(line[pos] - '0');
                    ++pos;
                }
                r.code = code;
                while (pos < line.size() && line[pos] == ' ') {
                    ++pos;
                }
                r.text = line.substr(pos);
            }
        } else if (line.empty()) {
            if (r.statusSeen) {
                r.headersDone = true;
                if (r.code >= 100 && r.code < 200) {
                    r = Response{};  // an interim answer; the real one follows
                } else if (!isFollowedRedirect(r)) {
                    self->finalHeaders = true;
                }
            }
        } else if (r.statusSeen && !r.location) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos && lowerCase(line.substr(0, colon)) == "location") {
                std::size_t begin = colon + 1;
                while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t')) {
                    ++begin;
                }
                std::size_t end = line.size();
                while (end > begin && (line[end - 1] == ' ' || line[end - 1] == '\t')) {
                    --end;
                }
                r.location = line.substr(begin, end - begin);
            }
        }
        return length;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<State*>(user);
        const std::size_t length = size * count;
        self->touch();
        // Body bytes reach us only for the response that is not redirected further.
        self->finalHeaders = true;
        if (length == 0) {
            return 0;
        }
        const std::size_t room = self->dest == nullptr ? 0 : self->destCapacity - self->destLength;
        if (room == 0) {
            self->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        const std::size_t taken = std::min(room, length);
        std::memcpy(self->dest + self->destLength, data, taken);
        self->destLength += taken;
        self->overflow.append(data + taken, length - taken);
        return length;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t) {
        auto* self = static_cast<State*>(user);
        if (downloaded != self->lastDownloaded) {
            self->lastDownloaded = downloaded;
            self->touch();
        }
        return 0;
    }

    // Called once a connection stands and the request is about to go out (also per redirect).
    static int onRequestReady(void* user, char*, char*, int, int) {
        auto* self = static_cast<State*>(user);
        self->connected = true;
        self->touch();
        return CURL_PREREQFUNC_OK;
    }

    // One round of work on the transfer; collects its end.
    void perform() {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            done = true;
            result = CURLE_OUT_OF_MEMORY;
            return;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE) {
                done = true;
                result = message->data.result;
            }
        }
    }

    std::chrono::milliseconds stallRemaining() const {
        const auto limit = std::chrono::milliseconds(timeouts.stallMilliseconds);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity);
        return elapsed >= limit ? std::chrono::milliseconds(0) : limit - elapsed;
    }

    std::chrono::milliseconds totalRemaining() const {
        const auto now = Clock::now();
        return now >= deadline ? std::chrono::milliseconds(0)
                               : std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    }

    // Works on the transfer until `ready` holds, the transfer ends, it stalls or its time is up.
    template <typename Ready>
    void runUntil(Ready ready) {
        for (;;) {
            perform();
            if (ready() || done) {
                return;
            }
            const auto total = totalRemaining();
            if (total.count() == 0) {
                stalled = true;
                return;
            }
            auto wait = std::min(std::chrono::milliseconds(1000), total);
            if (connected && !paused) {
                const auto remaining = stallRemaining();
                if (remaining.count() == 0) {
                    stalled = true;
                    return;
                }
                wait = std::min(wait, remaining);
            }
            if (curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr) !=
                CURLM_OK) {
                done = true;
                result = CURLE_OUT_OF_MEMORY;
                return;
            }
        }
    }

    std::size_t drainOverflow() {
        const std::size_t n = std::min(overflow.size() - overflowPos, destCapacity - destLength);
        std::memcpy(dest + destLength, overflow.data() + overflowPos, n);
        destLength += n;
        overflowPos += n;
        if (overflowPos == overflow.size()) {
            overflow.clear();
            overflowPos = 0;
        }
        return n;
    }
};

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}

HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpRequest::open(HttpConnection& connection, const std::string& verb,
                                               const std::string& path,
                                               const std::string& version) {
    long httpVersion = 0;
    if (version == "HTTP/1.1") {
        httpVersion = CURL_HTTP_VERSION_1_1;
    } else if (version == "HTTP/1.0") {
        httpVersion = CURL_HTTP_VERSION_1_0;
    } else {
        setLastError(EINVAL);
        return nullptr;
    }
    if (!connection.session_ || verb.empty() || !globalInit()) {
        setLastError(connection.session_ ? EINVAL : EBADF);
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->session = connection.session_;
    state->timeouts = connection.session_->timeouts();
    state->multi.reset(curl_multi_init());
    state->easy.reset(curl_easy_init());
    // An empty "Accept:" removes the header curl would add; the request carries none of its own.
    state->headers.reset(curl_slist_append(nullptr, "Accept:"));
    if (!state->multi || !state->easy || !state->headers) {
        setLastError(ENOMEM);
        return nullptr;
    }
    CURL* easy = state->easy.get();
    State* raw = state.get();
    const std::string url = curlUrl(connection.scheme_, connection.host_, connection.port_, path);
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
    if (verb == "GET") {
        ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    } else {
        ok = ok && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str()) == CURLE_OK;
    }
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, httpVersion) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_USERAGENT, raw->session->agent().c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPHEADER, raw->headers.get()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                          static_cast<long>(raw->timeouts.connectMilliseconds)) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &State::onHeader) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERDATA, raw) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &State::onBody) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEDATA, raw) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &State::onProgress) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_XFERINFODATA, raw) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &State::onRequestReady) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQDATA, raw) == CURLE_OK;
    if (!ok) {
        setLastError(ENOMEM);
        return nullptr;
    }
    return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(state)));
}

bool HttpRequest::send() {
    State& s = *state_;
    if (s.added) {
        setLastError(EALREADY);
        return false;
    }
    if (curl_multi_add_handle(s.multi.get(), s.easy.get()) != CURLM_OK) {
        setLastError(ENOMEM);
        return false;
    }
    s.added = true;
    s.touch();
    s.deadline = Clock::now() + std::chrono::milliseconds(s.timeouts.totalMilliseconds);
    s.runUntil([&s] { return s.finalHeaders; });
    if (s.finalHeaders) {
        s.sent = true;
        return true;
    }
    if (s.stalled) {
        setLastError(ETIMEDOUT);
        return false;
    }
    // The transfer ended before a final response. A redirect that could not be followed (too many,
    // or a Location curl refuses) leaves that redirect as the response.
    const bool redirectLeft =
        s.response.headersDone && State::isFollowedRedirect(s.response) &&
        (s.result == CURLE_TOO_MANY_REDIRECTS || s.result == CURLE_UNSUPPORTED_PROTOCOL ||
         s.result == CURLE_URL_MALFORMAT);
    if (redirectLeft || (s.result == CURLE_OK && s.response.headersDone)) {
        s.finalHeaders = true;
        s.sent = true;
        // Nothing of a redirect's body was kept; the body reads as ended.
        s.result = CURLE_OK;
        return true;
    }
    setLastError(s.result == CURLE_OK ? EPROTO : errorNumberFor(s.result));
    return false;
}

bool HttpRequest::queryStatusCode(std::uint32_t& code) const {
    if (!state_->sent) {
        setLastError(EINVAL);
        return false;
    }
    code = state_->response.code;
    return true;
}

bool HttpRequest::queryStatusText(std::string& text) const {
    if (!state_->sent) {
        setLastError(EINVAL);
        return false;
    }
    text = state_->response.text;
    return true;
}

bool HttpRequest::queryLocation(std::string& location) const {
    if (!state_->sent || !state_->response.location) {
        setLastError(ENOENT);
        return false;
    }
    location = *state_->response.location;
    return true;
}

bool HttpRequest::read(char* buffer, std::size_t capacity, std::size_t& count) {
    State& s = *state_;
    count = 0;
    if (!s.sent) {
        setLastError(EINVAL);
        return false;
    }
    if (capacity == 0) {
        return true;
    }
    s.dest = buffer;
    s.destCapacity = capacity;
    s.destLength = 0;
    struct ClearDest {
        State& s;
        ~ClearDest() { s.dest = nullptr; }
    } clearDest{s};

    // A body that keeps coming, however fast, still ends at the total limit.
    if (!s.done && s.totalRemaining().count() == 0) {
        setLastError(ETIMEDOUT);
        return false;
    }
    s.drainOverflow();
    if (s.destLength == 0 && s.paused) {
        // Hands over what curl held back while paused, straight into the buffer.
        s.paused = false;
        s.touch();
        if (curl_easy_pause(s.easy.get(), CURLPAUSE_CONT) != CURLE_OK) {
            setLastError(EIO);
            return false;
        }
    }
    if (s.destLength == 0 && !s.done) {
        s.touch();
        s.runUntil([&s] { return s.destLength > 0; });
    }
    if (s.destLength > 0) {
        count = s.destLength;
        return true;
    }
    if (s.stalled) {
        setLastError(ETIMEDOUT);
        return false;
    }
    if (s.done && s.result != CURLE_OK) {
        setLastError(errorNumberFor(s.result));
        return false;
    }
    return true;
}

}  // namespace platform
