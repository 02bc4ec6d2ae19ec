#include "loopbackServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr std::size_t kAnnouncedSize = 1000;
constexpr std::size_t kSentSize = 100;

// Entries the server library adds to a request's headers on its own.
bool isServerAddedHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

}  // namespace

void LoopbackServer::ServerDeleter::operator()(httplib::Server* server) const {
    delete server;
}

LoopbackServer::LoopbackServer() : server_(new httplib::Server) {
    // A client that gives up closes its end while an answer may still be written to it.
    std::signal(SIGPIPE, SIG_IGN);

    serve("/answer", kAnswerBody);
    route("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content(kMissingBody, "text/html");
    });
    route("/redirect", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/answer", 302);
    });
    route("/redirect-nowhere",
          [](const httplib::Request&, httplib::Response& res) { res.status = 302; });
    route("/redirect-loop", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/redirect-loop", 302);
    });
    serve("/empty", "", "text/plain");
    serve("/large", largeBody(), "application/octet-stream");
    route("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.target, "text/plain");
    });
    serveCutShort("/truncated", std::string(kSentSize, 't'), kAnnouncedSize);
    route("/truncated-chunked", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "text/plain", [](std::size_t offset, httplib::DataSink& sink) {
                if (offset == 0) {
                    return sink.write(std::string(kSentSize, 'c').data(), kSentSize);
                }
                return false;
            });
    });
    route("/stall-headers", [this](const httplib::Request&, httplib::Response& res) {
        stall();
        res.set_content(kAnswerBody, "text/xml");
    });
    route("/stall-body", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(kAnnouncedSize, "text/plain",
                                 [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     if (offset == 0) {
                                         return sink.write(std::string(kSentSize, 's').data(),
                                                           kSentSize);
                                     }
                                     stall();
                                     return false;
                                 });
    });

    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        RecordedRequest record{req.method, req.target, req.version, {}};
        for (const auto& [name, value] : req.headers) {
            if (!isServerAddedHeader(name)) {
                record.headers.emplace_back(name, value);
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(std::move(record));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->Get(
        ".*", [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); });

    int listening = -1;
    server_->set_socket_options([&listening](int sock) {
        httplib::default_socket_options(sock);
        listening = sock;
    });
    const int port = server_->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        throw std::runtime_error("Can't bind the loopback server: 127.0.0.1");
    }
    // The server library listens with a backlog of 5; more simultaneous clients would wait for a
    // SYN retransmission. Listening again only enlarges the queue.
    ::listen(listening, SOMAXCONN);
    port_ = static_cast<std::uint16_t>(port);
    // The socket already listens, so connections wait in its queue until the thread accepts them.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only ends a server that is already running, so the destructor must not come first.
    while (!server_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LoopbackServer::route(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(handler);
}

void LoopbackServer::serve(const std::string& path, std::string body, std::string contentType,
                           int status) {
    route(path, [body = std::move(body), contentType = std::move(contentType), status](
                    const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content(body, contentType.c_str());
    });
}

void LoopbackServer::serveCutShort(const std::string& path, std::string body, std::size_t announced,
                                   int status) {
    auto shared = std::make_shared<const std::string>(std::move(body));
    route(path, [shared, announced, status](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content_provider(
            announced, "text/xml",
            [shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                // Failing after the first write closes the connection.
                return offset == 0 && sink.write(shared->data(), shared->size());
            });
    });
}

void LoopbackServer::serveInPieces(const std::string& path, std::string body, std::size_t piece,
                                   std::chrono::milliseconds pause, int status) {
    auto shared = std::make_shared<const std::string>(std::move(body));
    route(path, [this, shared, piece, pause, status](const httplib::Request&,
                                                     httplib::Response& res) {
        res.status = status;
        res.set_chunked_content_provider(
            "text/xml", [this, shared, piece, pause](std::size_t offset, httplib::DataSink& sink) {
                if (offset > 0 && pause.count() > 0 && !pauseUnlessStopped(pause)) {
                    return false;
                }
                if (offset >= shared->size()) {
                    sink.done();
                    return true;
                }
                const std::size_t count = std::min(piece, shared->size() - offset);
                return sink.write(shared->data() + offset, count);
            });
    });
}

std::size_t LoopbackServer::requestCount(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const RecordedRequest& request : requests_) {
        if (request.target.substr(0, request.target.find('?')) == path) {
            ++count;
        }
    }
    return count;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackServer::setStall(std::chrono::milliseconds stall) {
    std::lock_guard<std::mutex> lock(mutex_);
    stall_ = stall;
}

void LoopbackServer::dispatch(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = routes_.find(request.path);
        if (found != routes_.end()) {
            handler = found->second;
        }
    }
    if (handler) {
        handler(request, response);
    } else {
        response.status = 404;
        response.set_content("Not found: " + request.path, "text/plain");
    }
}

bool LoopbackServer::pauseUnlessStopped(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, pause, [this] { return stopped_; });
}

void LoopbackServer::stall() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_.wait_for(lock, stall_, [this] { return stopped_; });
}

}  // namespace testing_support
