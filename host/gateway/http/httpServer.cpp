#include "httpServer.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hostError.h"
#include "httpServerCore.h"
#include "httpText.h"
#include "textDates.h"

namespace host {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

// Most of the stop's grace goes to answers in progress; what is left closes the sockets.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 256 * 1024;
constexpr std::size_t kMaxRefusing = 256;

// The Date header, formatted once per second and thread.
const std::string& dateNow() {
    thread_local std::time_t shownSecond = -1;
    thread_local std::string shown;
    const auto now = std::chrono::system_clock::now();
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != shownSecond) {
        shownSecond = second;
        shown = text::httpDate(now);
    }
    return shown;
}

// A header name or value as it may go on the wire: no line breaks that could start a new field.
std::string fieldSafe(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    return out;
}

bool hasNoBody(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

}  // namespace

// One connection: reads requests one at a time, hands each to the handler, writes its answer.
// Every member runs on the connection's strand.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(HttpServerCore& core, tcp::socket socket, std::string peer)
        : core_(core),
          stream_(std::move(socket)),
          buffer_(core.limits.maxHeaderBytes * 4),
          peer_(std::move(peer)),
          accepted_(std::chrono::steady_clock::now()) {}

    void start() { waitForRequest(); }
    auto executor() { return stream_.get_executor(); }

    void deliver(HttpResponse response) {
        if (state_ == State::Handling) {
            send(std::move(response));
        }
    }

    // The server stops: a connection between requests closes now, the others after their answer.
    void onStop() {
        if (state_ == State::Waiting) {
            closeNow();
        }
    }

    void closeNow() {
        if (state_ == State::Closed) {
            return;
        }
        const auto self = shared_from_this();
        state_ = State::Closed;
        ErrorCode ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        core_.remove(this, peer_);
    }

  private:
    enum class State { Waiting, Reading, Handling, Writing, Lingering, Closed };

    // Waits for the first byte of the next request: within the header deadline for the first
    // request (counted from the accept), within the idle time for a later one.
    void waitForRequest() {
        state_ = State::Waiting;
        if (core_.stopping && !first_) {
            closeNow();
            return;
        }
        if (buffer_.size() > 0) {
            readHeader(std::chrono::steady_clock::now() + core_.limits.headerTimeout);
            return;
        }
        if (first_) {
            stream_.expires_at(accepted_ + core_.limits.headerTimeout);
        } else {
            stream_.expires_after(core_.limits.idleTimeout);
        }
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](ErrorCode error, std::size_t n) {
                                    self->onFirstBytes(error, n);
                                });
    }

    void onFirstBytes(ErrorCode error, std::size_t n) {
        if (state_ == State::Closed) {
            return;
        }
        if (error) {
            // Silence from a new connection is logged; the end of an idle one is routine.
            if (error == beast::error::timeout && first_) {
                logUnanswered(408);
            }
            closeNow();
            return;
        }
        buffer_.commit(n);
        const SteadyTime deadline =
            first_ ? accepted_ + core_.limits.headerTimeout
                   : std::chrono::steady_clock::now() + core_.limits.headerTimeout;
        readHeader(deadline);
    }

    void readHeader(SteadyTime deadline) {
        state_ = State::Reading;
        request_ = HttpRequest{};
        request_.peer = peer_;
        requestStart_ = std::chrono::steady_clock::now();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(core_.limits.maxHeaderBytes));
        stream_.expires_at(deadline);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](ErrorCode error, std::size_t) { self->onHeader(error); });
    }

    void onHeader(ErrorCode error) {
        if (state_ == State::Closed) {
            return;
        }
        first_ = false;
        if (error == beast::error::timeout) {
            logUnanswered(408);
            closeNow();
            return;
        }
        if (error == http::error::end_of_stream || error == net::error::eof ||
            error == net::error::connection_reset || error == net::error::operation_aborted) {
            closeNow();
            return;
        }
        if (error) {
            keepAlive_ = false;
            state_ = State::Handling;
            if (error == http::error::header_limit) {
                send(HttpResponse::text(431, "The request's header is too large.\n"));
            } else {
                send(HttpResponse::text(400, "Can't read the request: " + error.message() + "\n"));
            }
            return;
        }
        stream_.expires_never();
        const auto& message = parser_->get();
        request_ = HttpRequest{};
        request_.method = std::string(message.method_string());
        request_.target = std::string(message.target());
        const std::size_t question = request_.target.find('?');
        request_.path = request_.target.substr(0, question);
        if (question != std::string::npos) {
            request_.query = request_.target.substr(question + 1);
        }
        request_.versionMajor = static_cast<int>(message.version() / 10);
        request_.versionMinor = static_cast<int>(message.version() % 10);
        for (const auto& field : message) {
            request_.headers.push_back(
                HttpHeader{std::string(field.name_string()), std::string(field.value())});
        }
        request_.peer = peer_;
        // Any transfer coding makes the body's end a matter of interpretation ("chunked, gzip",
        // "xchunked"): what follows the header could run as a request of its own behind a proxy
        // that reads it otherwise. No route takes a body, so such a request is refused.
        if (message.count(http::field::transfer_encoding) > 0) {
            keepAlive_ = false;
            state_ = State::Handling;
            send(HttpResponse::text(400, "A request with Transfer-Encoding is not accepted.\n"));
            return;
        }
        // A body is never read: answering and closing is cheaper and safer than skipping it.
        const bool hasBody = parser_->content_length().value_or(0) > 0;
        keepAlive_ = message.keep_alive() && !hasBody && !core_.stopping;
        state_ = State::Handling;

        auto once = std::make_shared<std::atomic<bool>>(false);
        Responder respond = [core = core_.shared_from_this(), weak = weak_from_this(),
                             once](HttpResponse response) {
            if (once->exchange(true)) {
                return;
            }
            if (const auto session = weak.lock()) {
                net::dispatch(session->stream_.get_executor(),
                              [session, response = std::move(response)]() mutable {
                                  session->deliver(std::move(response));
                              });
            }
        };
        try {
            core_.handler->handle(request_, respond);
        } catch (const std::exception& e) {
            respond(HttpResponse::text(500, std::string("Internal error: ") + e.what() + "\n"));
        }
    }

    void send(HttpResponse response) {
        response_ = std::move(response);
        if (response_.close || core_.stopping) {
            keepAlive_ = false;
        }
        const bool head = request_.method == "HEAD";
        message_.emplace();
        auto& m = *message_;
        m.version(request_.versionMajor == 1 && request_.versionMinor == 0 ? 10 : 11);
        m.result(static_cast<unsigned>(response_.status));
        for (const HttpHeader& h : response_.headers) {
            m.insert(fieldSafe(h.name), fieldSafe(h.value));
        }
        m.set(http::field::date, dateNow());
        if (!hasNoBody(response_.status)) {
            m.content_length(response_.body.size());
            if (!head) {
                const std::string_view bytes = response_.body.view();
                m.body() = beast::span<const char>(bytes.data(), bytes.size());
            }
        }
        m.keep_alive(keepAlive_);
        if (keepAlive_) {
            m.set(
                "Keep-Alive",
                "timeout=" +
                    std::to_string(
                        std::chrono::ceil<std::chrono::seconds>(core_.limits.idleTimeout).count()));
        }
        bodyBytes_ = m.body().size();
        serializer_.emplace(m);
        state_ = State::Writing;
        writeSome();
    }

    void writeSome() {
        stream_.expires_after(core_.limits.writeTimeout);
        http::async_write_some(
            stream_, *serializer_,
            [self = shared_from_this()](ErrorCode error, std::size_t) { self->onWrite(error); });
    }

    void onWrite(ErrorCode error) {
        if (state_ == State::Closed) {
            return;
        }
        if (!error && !serializer_->is_done()) {
            writeSome();
            return;
        }
        const bool complete = !error;
        core_.handler->answered(request_, response_, complete ? bodyBytes_ : 0, elapsed());
        serializer_.reset();
        message_.reset();
        response_ = HttpResponse{};  // lets go of a shared feed
        parser_.reset();
        if (!complete) {
            closeNow();
            return;
        }
        if (keepAlive_ && !core_.stopping) {
            waitForRequest();
            return;
        }
        linger();
    }

    // Half-closes, then reads what the client still sends until it closes too: closing with
    // unread bytes would reset the connection and could destroy the answer in flight.
    void linger() {
        state_ = State::Lingering;
        ErrorCode ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        buffer_.clear();
        stream_.expires_after(kLingerTime);
        lingerRead();
    }

    void lingerRead() {
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](ErrorCode error, std::size_t n) {
                                    if (self->state_ == State::Closed) {
                                        return;
                                    }
                                    self->lingered_ += n;
                                    self->buffer_.clear();
                                    if (error || self->lingered_ > kLingerBytes) {
                                        self->closeNow();
                                        return;
                                    }
                                    self->lingerRead();
                                });
    }

    void logUnanswered(int status) {
        HttpRequest partial;
        partial.peer = peer_;
        if (parser_ && parser_->got_some()) {
            // Whatever the request line gave before the deadline.
            partial.method = std::string(parser_->get().method_string());
            partial.target = std::string(parser_->get().target());
        }
        core_.handler->answered(partial, HttpResponse::text(status, {}), 0, elapsed());
    }

    std::chrono::microseconds elapsed() const {
        const SteadyTime since = state_ == State::Waiting ? accepted_ : requestStart_;
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - since);
    }

    HttpServerCore& core_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    HttpRequest request_;
    HttpResponse response_;
    std::optional<http::response<http::span_body<const char>>> message_;
    std::optional<http::response_serializer<http::span_body<const char>>> serializer_;
    std::string peer_;
    SteadyTime accepted_;
    SteadyTime requestStart_;
    State state_ = State::Waiting;
    bool first_ = true;
    bool keepAlive_ = false;
    std::size_t bodyBytes_ = 0;
    std::size_t lingered_ = 0;
};

// A connection beyond a cap: a short answer, then closed. Two seconds in all: write the answer,
// then read what the client sent until it closes, so that closing does not reset the connection
// under the answer.
class Refusal : public std::enable_shared_from_this<Refusal> {
  public:
    Refusal(HttpServerCore& core, tcp::socket socket, std::string text)
        : core_(core), stream_(std::move(socket)), text_(std::move(text)) {}

    void start() {
        stream_.expires_after(std::chrono::seconds(2));
        net::async_write(stream_, net::buffer(text_),
                         [self = shared_from_this()](ErrorCode error, std::size_t) {
                             ErrorCode ignored;
                             self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                             self->drain(error);
                         });
    }

  private:
    void drain(ErrorCode error) {
        if (error) {
            stream_.close();
            --core_.refusing;
            return;
        }
        stream_.async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](ErrorCode readError, std::size_t) {
                                    self->drain(readError);
                                });
    }

    HttpServerCore& core_;
    beast::tcp_stream stream_;
    std::string text_;
    std::array<char, 1024> scratch_{};
};

void HttpServerCore::accept() {
    acceptor.async_accept(
        net::make_strand(ioc),
        // Handlers live in the context, which the core owns: `this` outlives them.
        [this](ErrorCode error, tcp::socket socket) { onAccept(error, std::move(socket)); });
}

void HttpServerCore::onAccept(ErrorCode error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) {
        return;
    }
    if (error) {
        // Out of descriptors or a connection that died in the queue: try again shortly, without
        // spinning on a persistent error.
        auto timer = std::make_shared<net::steady_timer>(strand, std::chrono::milliseconds(50));
        timer->async_wait([this, timer](ErrorCode) {
            if (!stopping) {
                accept();
            }
        });
        return;
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const auto remote = socket.remote_endpoint(ignored);
    std::string peer = remote.address().to_string();
    std::shared_ptr<Session> session;
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t& fromPeer = perAddress[peer];
        if (sessions.size() >= limits.maxConnections) {
            refusal = "The server has too many connections; try again shortly.\n";
        } else if (fromPeer >= limits.maxConnectionsPerAddress) {
            refusal = "Too many connections from your address; try again shortly.\n";
        } else {
            ++fromPeer;
            session = std::make_shared<Session>(*this, std::move(socket), peer);
            sessions.emplace(session.get(), session);
        }
        if (fromPeer == 0) {
            perAddress.erase(peer);
        }
    }
    if (session) {
        net::dispatch(session->executor(), [session] { session->start(); });
    } else {
        refuse(std::move(socket), std::move(peer), refusal);
    }
    accept();
}

void HttpServerCore::refuse(tcp::socket socket, std::string peer, const char* why) {
    refused.fetch_add(1, std::memory_order_relaxed);
    HttpResponse response = HttpResponse::text(503, why);
    HttpRequest request;
    request.peer = peer;
    handler->answered(request, response, 0, std::chrono::microseconds(0));
    if (refusing >= kMaxRefusing) {
        return;  // the socket closes as it goes out of scope
    }
    ++refusing;
    const std::string body(why);
    std::make_shared<Refusal>(*this, std::move(socket),
                              "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                              "X-Content-Type-Options: nosniff\r\n"
                              "Retry-After: 5\r\nConnection: close\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body)
        ->start();
}

void HttpServerCore::remove(Session* session, const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex);
    if (sessions.erase(session) == 0) {
        return;
    }
    const auto it = perAddress.find(peer);
    if (it != perAddress.end() && --it->second == 0) {
        perAddress.erase(it);
    }
    releaseWorkIfDone();
}

void HttpServerCore::releaseWorkIfDone() {
    if (stopping && sessions.empty() && work) {
        work.reset();
        // Nothing is left to wait for: end the grace period early.
        net::post(strand, [this] {
            if (graceTimer) {
                graceTimer->cancel();
            }
        });
    }
}

void HttpServerCore::beginStop(std::chrono::milliseconds grace) {
    ErrorCode ignored;
    acceptor.close(ignored);
    std::vector<std::shared_ptr<Session>> open;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [pointer, session] : sessions) {
            open.push_back(session);
        }
        releaseWorkIfDone();
    }
    for (const std::shared_ptr<Session>& session : open) {
        net::dispatch(session->executor(), [session] { session->onStop(); });
    }
    graceTimer = std::make_unique<net::steady_timer>(strand, grace);
    graceTimer->async_wait([this](ErrorCode) {
        std::vector<std::shared_ptr<Session>> left;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& [pointer, session] : sessions) {
                left.push_back(session);
            }
            work.reset();
        }
        endEvents();
        for (const std::shared_ptr<Session>& session : left) {
            net::dispatch(session->executor(), [session] { session->closeNow(); });
        }
    });
}

HttpServer::HttpServer(RequestHandler& handler, ServerLimits limits)
    : core_(std::make_shared<HttpServerCore>(&handler, limits)) {}

HttpServer::HttpServer(ServerLimits limits)
    : core_(std::make_shared<HttpServerCore>(nullptr, limits)) {}

void HttpServer::run(RequestHandler& handler, int threads) {
    core_->handler = &handler;
    run(threads);
}

HttpServer::~HttpServer() {
    core_->stopping = true;
    core_->ioc.stop();
    // Sessions go before the context they are registered with; the context may outlive the
    // server only in a responder that a late answer still holds, which then finds no session.
    std::unordered_map<Session*, std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        sessions.swap(core_->sessions);
        core_->perAddress.clear();
        core_->work.reset();
    }
    sessions.clear();
}

std::uint16_t HttpServer::listen(const std::string& host, std::uint16_t port) {
    const std::string shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(port);
    ErrorCode error;
    tcp::resolver resolver(core_->ioc);
    const auto endpoints = resolver.resolve(
        host, std::to_string(port), tcp::resolver::numeric_service | tcp::resolver::passive, error);
    if (error || endpoints.empty()) {
        throw HostError(
            kExitCannotListen,
            "Can't listen on " + shown + ": " +
                (error ? error.message() : std::string("the address does not resolve")));
    }
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    tcp::acceptor& acceptor = core_->acceptor;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        acceptor.set_option(net::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(core_->limits.backlog, error);
    }
    if (error) {
        ErrorCode ignored;
        acceptor.close(ignored);
        throw HostError(kExitCannotListen, "Can't listen on " + shown + ": " + error.message());
    }
    return acceptor.local_endpoint().port();
}

void HttpServer::run(int threads) {
    HttpServerCore& core = *core_;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        if (!core.stopping) {
            core.work.emplace(net::make_work_guard(core.ioc));
        }
    }
    if (core.acceptor.is_open() && !core.stopping) {
        core.accept();
    }
    const auto serve = [&core] {
        core.takeSignals();
        for (;;) {
            try {
                core.ioc.run();
                return;
            } catch (const std::exception& e) {
                // A handler that throws loses its connection, not the server.
                std::fprintf(stderr, "dovetrail: internal error in the HTTP engine: %s\n",
                             e.what());
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i) {
        helpers.emplace_back(serve);
    }
    serve();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

void HttpServer::stop(std::chrono::milliseconds grace) {
    if (core_->stopping.exchange(true)) {
        return;
    }
    net::post(core_->strand, [core = core_.get(), grace] { core->beginStop(grace); });
}

std::uint64_t HttpServer::refusedConnections() const {
    return core_->refused.load(std::memory_order_relaxed);
}

std::size_t HttpServer::connections() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->sessions.size();
}

}  // namespace host
