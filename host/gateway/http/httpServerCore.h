// The HTTP engine's shared core, for the engine's own files only (httpServer.cpp, the sessions,
// engineEvents.cpp); everything outside uses httpServer.h.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "httpServer.h"

namespace host {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

class Session;

struct HttpServerCore : std::enable_shared_from_this<HttpServerCore> {
    HttpServerCore(RequestHandler* h, ServerLimits l)
        : handler(h), limits(l), strand(net::make_strand(ioc)), acceptor(strand) {}

    void accept();
    void onAccept(ErrorCode error, tcp::socket socket);
    void refuse(tcp::socket socket, std::string peer, const char* why);
    void remove(Session* session, const std::string& peer);
    void beginStop(std::chrono::milliseconds grace);
    void releaseWorkIfDone();  // with `mutex` held
    // Cancels the signal set and the timers of HttpServer's events, so that run() can return;
    // events asked for afterwards are ignored.
    void endEvents();
    // Lets this thread take the signals of the signal set.
    void takeSignals();

    RequestHandler* handler;  // set before run()
    const ServerLimits limits;
    net::io_context ioc;
    // The acceptor and the stop's timer are used on this strand only.
    net::strand<net::io_context::executor_type> strand;
    tcp::acceptor acceptor;
    std::unique_ptr<net::steady_timer> graceTimer;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> refusing{0};
    std::atomic<std::uint64_t> refused{0};  // connections refused by the caps, in all

    mutable std::mutex mutex;  // guards the two maps and `work`
    std::unordered_map<Session*, std::shared_ptr<Session>> sessions;
    std::unordered_map<std::string, std::size_t> perAddress;

    std::mutex eventsMutex;  // guards the events' members
    std::unique_ptr<net::signal_set> signals;
    std::vector<int> signalNumbers;
    std::vector<std::shared_ptr<net::steady_timer>> timers;
    bool eventsEnded = false;
};

}  // namespace host
