// The loopback web service for the tests of the Windows build. There is no server library for
// Windows, so the tests (Windows programs run by Wine, which share the machine's network) ask this
// native program for LoopbackServer instances and drive them over a small control protocol on
// 127.0.0.1; loopbackServer_remote.cpp is the client side.
//
//   dovetrail_loopback_service --start PORTFILE   runs in the background; PORTFILE gets the port
//   dovetrail_loopback_service --stop PORTFILE    stops the service started with PORTFILE
//   dovetrail_loopback_service --run PORTFILE     runs in the foreground
//
// Control requests (the tests send HTTP/1.0 and read until the connection closes):
//   POST /servers                          a new server; the answer is its port, which names it
//   POST /servers/PORT/delete              stops and removes it
//   POST /servers/PORT/serve?path=P&type=T&status=S
//                                          answers P with status S (200 when absent), the request
//                                          body and type T
//   POST /servers/PORT/pieces?path=P&piece=N&pause=MS&status=S
//                                          answers P with the request body in chunks
//                                          (serveInPieces)
//   POST /servers/PORT/cut-short?path=P&announced=N&status=S
//                                          answers P announcing N bytes and sending only the
//                                          request body (serveCutShort)
//   POST /servers/PORT/stall?ms=N          sets how long the stall routes hold back
//   GET  /servers/PORT/requests            the requests it received (encodeRequests below)
//   POST /quit                             stops the service
// An idle service (no control request for 15 minutes) stops by itself, so an interrupted test run
// leaves nothing behind for long.
#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loopbackServer.h"

namespace {

using testing_support::LoopbackServer;
using Clock = std::chrono::steady_clock;

constexpr auto kIdleLimit = std::chrono::minutes(15);

// A field of the request list: bytes that would break the line format are %XX.
std::string escaped(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7E || c == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

// One line per request, "R METHOD TARGET VERSION", then one line per header, "H NAME VALUE".
std::string encodeRequests(const std::vector<testing_support::RecordedRequest>& requests) {
    std::string out;
    for (const auto& request : requests) {
        out += "R " + escaped(request.method) + " " + escaped(request.target) + " " +
               escaped(request.version) + "\n";
        for (const auto& [name, value] : request.headers) {
            out += "H " + escaped(name) + " " + escaped(value) + "\n";
        }
    }
    return out;
}

class Service {
  public:
    // Binds the control port; throws when it cannot.
    Service() {
        control_.Post("/servers", [this](const httplib::Request&, httplib::Response& res) {
            auto server = std::make_unique<LoopbackServer>();
            const std::uint16_t port = server->port();
            std::lock_guard<std::mutex> lock(mutex_);
            servers_[port] = std::move(server);
            res.set_content(std::to_string(port), "text/plain");
        });
        control_.Post(R"(/servers/(\d+)/delete)",
                      [this](const httplib::Request& req, httplib::Response& res) {
                          std::lock_guard<std::mutex> lock(mutex_);
                          const auto found = servers_.find(portOf(req));
                          if (found == servers_.end()) {
                              res.status = 404;
                              return;
                          }
                          // Stopping waits for the clients' kept-alive connections to time
                          // out; the test need not wait for that.
                          retire(std::move(found->second));
                          servers_.erase(found);
                      });
        control_.Post(R"(/servers/(\d+)/serve)",
                      [this](const httplib::Request& req, httplib::Response& res) {
                          withServer(req, res, [&](LoopbackServer& server) {
                              server.serve(req.get_param_value("path"), req.body,
                                           req.get_param_value("type"), statusOf(req));
                          });
                      });
        control_.Post(R"(/servers/(\d+)/pieces)", [this](const httplib::Request& req,
                                                         httplib::Response& res) {
            withServer(req, res, [&](LoopbackServer& server) {
                server.serveInPieces(
                    req.get_param_value("path"), req.body,
                    std::stoull(req.get_param_value("piece")),
                    std::chrono::milliseconds(std::stoll(req.get_param_value("pause"))),
                    statusOf(req));
            });
        });
        control_.Post(R"(/servers/(\d+)/cut-short)", [this](const httplib::Request& req,
                                                            httplib::Response& res) {
            withServer(req, res, [&](LoopbackServer& server) {
                server.serveCutShort(req.get_param_value("path"), req.body,
                                     std::stoull(req.get_param_value("announced")), statusOf(req));
            });
        });
        control_.Post(R"(/servers/(\d+)/stall)", [this](const httplib::Request& req,
                                                        httplib::Response& res) {
            withServer(req, res, [&](LoopbackServer& server) {
                server.setStall(std::chrono::milliseconds(std::stoll(req.get_param_value("ms"))));
            });
        });
        control_.Get(R"(/servers/(\d+)/requests)",
                     [this](const httplib::Request& req, httplib::Response& res) {
                         withServer(req, res, [&](LoopbackServer& server) {
                             res.set_content(encodeRequests(server.requests()), "text/plain");
                         });
                     });
        control_.Post("/quit",
                      [this](const httplib::Request&, httplib::Response&) { quit_ = true; });
        control_.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
            lastRequest_ = Clock::now().time_since_epoch().count();
            return httplib::Server::HandlerResponse::Unhandled;
        });
        lastRequest_ = Clock::now().time_since_epoch().count();
        port_ = control_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            throw std::runtime_error("Can't bind the control port: 127.0.0.1");
        }
    }

    int port() const { return port_; }

    // Serves until /quit or the idle limit.
    void run() {
        std::thread watcher([this] {
            while (!quit_ &&
                   Clock::now() - Clock::time_point(Clock::duration(lastRequest_.load())) <
                       kIdleLimit) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            control_.stop();
        });
        control_.listen_after_bind();
        quit_ = true;
        watcher.join();
        std::lock_guard<std::mutex> lock(mutex_);
        servers_.clear();
        for (Retiring& retiring : retiring_) {
            retiring.thread.join();
        }
    }

  private:
    struct Retiring {
        std::shared_ptr<std::atomic<bool>> done;
        std::thread thread;
    };

    // Stops `server` on a thread of its own; threads that finished are joined. Called with
    // mutex_ held.
    void retire(std::unique_ptr<LoopbackServer> server) {
        for (auto it = retiring_.begin(); it != retiring_.end();) {
            if (*it->done) {
                it->thread.join();
                it = retiring_.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        retiring_.push_back({done, std::thread([server = std::move(server), done]() mutable {
                                 server.reset();
                                 *done = true;
                             })});
    }

    static std::uint16_t portOf(const httplib::Request& req) {
        return static_cast<std::uint16_t>(std::stoul(req.matches[1].str()));
    }

    static int statusOf(const httplib::Request& req) {
        return req.has_param("status") ? std::stoi(req.get_param_value("status")) : 200;
    }

    template <typename Work>
    void withServer(const httplib::Request& req, httplib::Response& res, Work work) {
        LoopbackServer* server = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = servers_.find(portOf(req));
            if (found != servers_.end()) {
                server = found->second.get();
            }
        }
        // A server is deleted only by its own test, never while that test still uses it.
        if (server == nullptr) {
            res.status = 404;
            return;
        }
        work(*server);
    }

    httplib::Server control_;
    int port_ = 0;
    std::atomic<bool> quit_{false};
    std::atomic<Clock::rep> lastRequest_{0};
    std::mutex mutex_;
    std::map<std::uint16_t, std::unique_ptr<LoopbackServer>> servers_;
    std::vector<Retiring> retiring_;  // servers being stopped
};

void writePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << "\n";
    }
    std::filesystem::rename(temporary, path);
}

int readPort(const std::string& path) {
    std::ifstream in(path);
    int port = 0;
    in >> port;
    return port;
}

int run(const std::string& portFile) {
    Service service;
    writePortFile(portFile, service.port());
    service.run();
    std::error_code ignored;
    std::filesystem::remove(portFile, ignored);
    return 0;
}

int start(const std::string& portFile, const char* self) {
    std::error_code ignored;
    std::filesystem::remove(portFile, ignored);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        // Detached, and with no descriptor of whoever started us: ctest waits for its test's
        // output pipes to close.
        setsid();
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
        try {
            _exit(run(portFile));
        } catch (...) {
            _exit(1);
        }
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (readPort(portFile) > 0) {
            std::cout << self << ": serving on 127.0.0.1:" << readPort(portFile) << "\n";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::cerr << self << ": the service did not start\n";
    return 1;
}

int stop(const std::string& portFile, const char* self) {
    const int port = readPort(portFile);
    if (port <= 0) {
        std::cerr << self << ": no service recorded in " << portFile << "\n";
        return 1;
    }
    httplib::Client client("127.0.0.1", port);
    const auto result = client.Post("/quit");
    std::error_code ignored;
    std::filesystem::remove(portFile, ignored);
    return result ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " --start|--stop|--run PORTFILE\n";
        return 2;
    }
    const std::string mode = argv[1];
    try {
        if (mode == "--start") {
            return start(argv[2], argv[0]);
        }
        if (mode == "--stop") {
            return stop(argv[2], argv[0]);
        }
        if (mode == "--run") {
            return run(argv[2]);
        }
    } catch (const std::exception& error) {
        std::cerr << argv[0] << ": " << error.what() << "\n";
        return 1;
    }
    std::cerr << "usage: " << argv[0] << " --start|--stop|--run PORTFILE\n";
    return 2;
}
