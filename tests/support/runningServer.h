// The gateway's HTTP engine serving a handler on a free loopback port from threads of its own, for
// the length of a test. Header-only: it needs the host's gateway libraries, which the shared
// support library does not link.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "httpServer.h"

namespace testing_support {

class RunningServer {
  public:
    explicit RunningServer(host::RequestHandler& handler, host::ServerLimits limits = {},
                           int threads = 2)
        : server_(handler, limits) {
        port_ = server_.listen("127.0.0.1", 0);
        thread_ = std::thread([this, threads] { server_.run(threads); });
    }
    ~RunningServer() { stop(std::chrono::milliseconds(0)); }
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    // Stops the engine with `grace` and waits until it has finished.
    void stop(std::chrono::milliseconds grace) {
        if (thread_.joinable()) {
            server_.stop(grace);
            thread_.join();
        }
    }

    std::uint16_t port() const { return port_; }
    host::HttpServer& server() { return server_; }

  private:
    host::HttpServer server_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace testing_support
