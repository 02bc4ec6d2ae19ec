// The HTTP engine under serve: an event-driven HTTP/1.1 server (Boost.Beast on Boost.Asio) that
// hands each request to a RequestHandler and writes its answer.
//
// No connection holds a thread: a few threads run every socket's reads, writes and timers, so
// idle, slow or hostile clients cost a socket and a little memory, never a worker.
// - The first request's headers must arrive within `headerTimeout` of the connection's accept;
//   a later request's within `headerTimeout` of its first byte. The deadline covers the whole
//   header, however slowly its bytes come; a connection that misses it is closed.
// - An idle keep-alive connection is closed after `idleTimeout`, which the Keep-Alive header of
//   every persistent answer announces. There is no limit on requests per connection.
// - An answer must make progress: a client that takes nothing for `writeTimeout` is dropped.
// - At most `maxConnectionsPerAddress` connections per client address and `maxConnections` in
//   all; a connection beyond a cap gets a short 503 and is closed.
// - The listen queue holds `backlog` connections (the system may lower it to
//   net.core.somaxconn); every accepted socket gets TCP_NODELAY.
// - GET and HEAD requests without a body keep their connection; a request with a body is
//   answered and the connection closed without reading the body. HEAD answers carry the
//   Content-Length of the GET answer and no body.
//
// Thread-safety: listen(), the events and run() from one thread; stop() from any thread, any
// number of times, also from an event's handler.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "httpMessage.h"

namespace host {

struct HttpServerCore;

struct ServerLimits {
    std::size_t maxConnections = 4096;
    std::size_t maxConnectionsPerAddress = 64;
    std::chrono::milliseconds headerTimeout = std::chrono::seconds(10);
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(5);
    std::chrono::milliseconds writeTimeout = std::chrono::seconds(30);
    int backlog = 4096;
    std::size_t maxHeaderBytes = 16 * 1024;
};

class HttpServer {
  public:
    // `handler` must outlive the server.
    HttpServer(RequestHandler& handler, ServerLimits limits);
    // A server whose handler is given to run(): the port can be taken before the handler exists.
    explicit HttpServer(ServerLimits limits);
    // Closes every connection; answers not given by then are dropped.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds `host` (a numeric address or a name) and `port` (0: any free port) and listens;
    // returns the port. Throws HostError (kExitCannotListen) with the system's reason.
    std::uint16_t listen(const std::string& host, std::uint16_t port);

    // Serves on `threads` threads, the caller's among them, until a stop has finished.
    void run(int threads);
    // The same with `handler` (which must outlive the server), for a server made without one.
    void run(RequestHandler& handler, int threads);

    // Events on the engine's threads, for the program around the server; each handler runs on one
    // of the threads of run() and must not block. They end when a stop has finished: pending
    // timers are dropped and the signals are no longer taken. Call them before run().
    // - onSignals: `signals` (POSIX numbers) are taken by the engine's threads, which unblock them
    //   in run(); every other thread should keep them blocked (threadGroup.h). `handler` gets
    //   each one as it comes. Once per server.
    // - after: `task` once, `delay` from now.
    // - every: `task` each `period`, the first `period` from now.
    void onSignals(std::vector<int> signals, std::function<void(int)> handler);
    void after(std::chrono::milliseconds delay, std::function<void()> task);
    void every(std::chrono::milliseconds period, std::function<void()> task);

    // Stops accepting at once, closes idle connections, lets requests in progress be answered,
    // and closes whatever remains after `grace`; run() then returns. Returns at once.
    void stop(std::chrono::milliseconds grace);

    // Connections open now (for the metrics, tests and the status of a stop), and those refused
    // by the caps since the start.
    std::size_t connections() const;
    std::uint64_t refusedConnections() const;

  private:
    std::shared_ptr<HttpServerCore> core_;
};

}  // namespace host
