// The gateway's HTTP engine over loopback with a handler of the test's own: deadlines for slow
// headers, keep-alive, TCP_NODELAY, connection caps, answers given later from another thread,
// requests it must refuse, and stopping.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "httpServer.h"
#include "support/rawHttp.h"
#include "support/runningServer.h"

using namespace std::chrono_literals;

namespace host {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::RawConnection;
using testing_support::RunningServer;

// Answers "hello PATH" at once, except /defer, whose responder the test takes and calls.
class TestHandler : public RequestHandler {
  public:
    void handle(const HttpRequest& request, Responder respond) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (request.path == "/defer") {
            deferred_.push_back(std::move(respond));
            changed_.notify_all();
            return;
        }
        respond(HttpResponse::text(200, "hello " + request.path));
    }

    void answered(const HttpRequest&, const HttpResponse& response, std::size_t,
                  std::chrono::microseconds) override {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.push_back(response.status);
    }

    // The responder of the next deferred request, once it has arrived.
    Responder nextDeferred() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [this] { return !deferred_.empty(); })) {
            return nullptr;
        }
        Responder respond = std::move(deferred_.front());
        deferred_.erase(deferred_.begin());
        return respond;
    }

    int count(int status) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(std::count(statuses_.begin(), statuses_.end(), status));
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Responder> deferred_;
    std::vector<int> statuses_;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(HttpServerTest, HeadersThatTrickleInMissTheirDeadline) {
    TestHandler handler;
    ServerLimits limits;
    limits.headerTimeout = 1s;
    RunningServer running(handler, limits);

    // One byte every 100 ms: each byte would restart an inactivity timer, not this deadline.
    RawConnection slow(running.port());
    const Clock::time_point start = Clock::now();
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nX-Pad: ";
    bool closed = false;
    for (std::size_t i = 0; !closed && secondsSince(start) < 5; ++i) {
        closed = !slow.send(std::string(1, i < request.size() ? request[i] : 'a')) ||
                 slow.closedWithin(100ms);
        if (i == 3) {
            // A normal client is served meanwhile.
            RawConnection normal(running.port());
            const auto answer = normal.get("/normal");
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->body, "hello /normal");
        }
    }
    const double lasted = secondsSince(start);
    EXPECT_TRUE(closed);
    EXPECT_GE(lasted, 0.9);
    EXPECT_LT(lasted, 3.0);

    // A connection that sends nothing at all goes the same way.
    RawConnection silent(running.port());
    EXPECT_TRUE(silent.closedWithin(3s));
    for (int i = 0; i < 100 && handler.count(408) < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(handler.count(408), 2);
}

TEST(HttpServerTest, KeepAliveServesManyRequestsAndAnnouncesItsIdleTime) {
    TestHandler handler;
    ServerLimits limits;
    limits.idleTimeout = 1s;
    RunningServer running(handler, limits);
    RawConnection connection(running.port());
    for (int i = 0; i < 200; ++i) {
        const auto answer = connection.get("/" + std::to_string(i));
        ASSERT_TRUE(answer) << i;
        EXPECT_EQ(answer->body, "hello /" + std::to_string(i));
        EXPECT_EQ(answer->header("Keep-Alive"), "timeout=1");
        EXPECT_FALSE(answer->hasHeader("Connection"));
        ASSERT_TRUE(answer->hasHeader("Date"));
    }
    EXPECT_EQ(running.server().connections(), 1u);
    // Idle for less than the announced time: still open. Idle for longer: closed.
    std::this_thread::sleep_for(400ms);
    ASSERT_TRUE(connection.get("/again"));
    EXPECT_TRUE(connection.closedWithin(3s));
}

TEST(HttpServerTest, PipelinedRequestsAreAnsweredInOrder) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(
        connection.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(connection.read()->body, "hello /a");
    EXPECT_EQ(connection.read()->body, "hello /b");
}

// The accepted socket lives in this process: find it by its peer, the client's local port.
int serverSocketFor(std::uint16_t clientPort) {
    DIR* dir = opendir("/proc/self/fd");
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (fd > 2 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == clientPort) {
            found = fd;
        }
    }
    closedir(dir);
    return found;
}

TEST(HttpServerTest, AcceptedSocketsSendWithoutDelay) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(connection.get("/"));
    const int fd = serverSocketFor(connection.localPort());
    ASSERT_GE(fd, 0);
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_EQ(noDelay, 1);
}

TEST(HttpServerTest, ConnectionsAreCappedPerAddressAndInAll) {
    TestHandler handler;
    ServerLimits limits;
    limits.maxConnectionsPerAddress = 2;
    limits.maxConnections = 3;
    RunningServer running(handler, limits);
    auto a1 = std::make_unique<RawConnection>(running.port(), "127.0.0.1");
    RawConnection a2(running.port(), "127.0.0.1");
    ASSERT_TRUE(a1->get("/"));
    ASSERT_TRUE(a2.get("/"));
    RawConnection a3(running.port(), "127.0.0.1");
    const auto refused = a3.read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_NE(refused->body.find("Too many connections from your address"), std::string::npos);
    EXPECT_EQ(refused->header("X-Content-Type-Options"), "nosniff");
    EXPECT_TRUE(a3.closedWithin(2s));

    // Another address still gets in, up to the cap in all.
    RawConnection b1(running.port(), "127.0.0.2");
    ASSERT_TRUE(b1.get("/"));
    RawConnection c1(running.port(), "127.0.0.3");
    const auto full = c1.read();
    ASSERT_TRUE(full);
    EXPECT_EQ(full->status, 503);
    EXPECT_NE(full->body.find("too many connections"), std::string::npos);

    // A closed connection frees its place.
    a1.reset();
    for (int i = 0; i < 100 && running.server().connections() > 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    RawConnection c2(running.port(), "127.0.0.3");
    const auto served = c2.get("/");
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 200);
}

TEST(HttpServerTest, AnswersMayComeLaterFromAnotherThread) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(connection.send("GET /defer HTTP/1.1\r\nHost: x\r\n\r\n"));
    Responder respond = handler.nextDeferred();
    ASSERT_TRUE(respond);
    std::thread([respond] {
        std::this_thread::sleep_for(100ms);
        respond(HttpResponse::text(202, "later"));
        respond(HttpResponse::text(500, "a second answer is ignored"));
    }).join();
    const auto answer = connection.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 202);
    EXPECT_EQ(answer->body, "later");
    EXPECT_EQ(connection.get("/next")->body, "hello /next");
}

struct RefusedCase {
    std::string request;
    int status;
};

class RefusedRequestTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedRequestTest, IsAnsweredAndTheConnectionClosed) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(connection.send(GetParam().request));
    const auto answer = connection.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, GetParam().status);
    EXPECT_TRUE(connection.closedWithin(3s));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedRequestTest,
    ::testing::Values(
        // A body is never read; the request is answered and the connection closed.
        RefusedCase{"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 200},
        RefusedCase{"GET /x HTTP/1.0\r\n\r\n", 200},
        RefusedCase{"GET /x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
        RefusedCase{"HELLO\r\n\r\n", 400},
        RefusedCase{"GET /x HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431}));

struct SmuggledCase {
    std::string name;
    std::string fields;  // the header fields after Host
};

class TransferEncodingTest : public ::testing::TestWithParam<SmuggledCase> {};

// The bytes after the header must never run as a request of their own: a proxy in front may
// have read them as the first request's body.
TEST_P(TransferEncodingTest, IsRefusedAndWhatFollowsNeverRuns) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(connection.send("GET /nothing HTTP/1.1\r\nHost: x\r\n" + GetParam().fields +
                                "\r\n0\r\n\r\nGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto answer = connection.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400) << answer->body;
    EXPECT_EQ(answer->header("Connection"), "close");
    EXPECT_FALSE(connection.read(500ms)) << "a second answer came";
    EXPECT_TRUE(connection.closedWithin(3s));
    EXPECT_EQ(handler.count(200), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Codings, TransferEncodingTest,
    ::testing::Values(SmuggledCase{"ChunkedThenGzip", "Transfer-Encoding: chunked, gzip\r\n"},
                      SmuggledCase{"XChunked", "Transfer-Encoding: xchunked\r\n"},
                      SmuggledCase{"Gzip", "Transfer-Encoding: gzip\r\n"},
                      SmuggledCase{"Identity", "Transfer-Encoding: identity\r\n"},
                      SmuggledCase{"Chunked", "Transfer-Encoding: chunked\r\n"},
                      SmuggledCase{"UpperCase", "TRANSFER-ENCODING: Chunked\r\n"},
                      SmuggledCase{"Twice",
                                   "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"},
                      SmuggledCase{"WithLength",
                                   "Transfer-Encoding: xchunked\r\nContent-Length: 0\r\n"}),
    [](const ::testing::TestParamInfo<SmuggledCase>& param) { return param.param.name; });

TEST(HttpServerTest, StoppingAnswersWhatIsInFlightAndClosesTheRest) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection idle(running.port());
    ASSERT_TRUE(idle.get("/"));
    RawConnection inFlight(running.port());
    ASSERT_TRUE(inFlight.send("GET /defer HTTP/1.1\r\nHost: x\r\n\r\n"));
    Responder respond = handler.nextDeferred();
    ASSERT_TRUE(respond);

    std::thread stopper([&] { running.stop(10s); });
    EXPECT_TRUE(idle.closedWithin(3s));
    // New connections are no longer accepted.
    for (int i = 0; i < 100; ++i) {
        try {
            RawConnection late(running.port());
            std::this_thread::sleep_for(10ms);
        } catch (const std::runtime_error&) {
            break;
        }
    }
    EXPECT_THROW(RawConnection(running.port()), std::runtime_error);
    respond(HttpResponse::text(200, "in flight"));
    const auto answer = inFlight.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "in flight");
    EXPECT_EQ(answer->header("Connection"), "close");
    const Clock::time_point start = Clock::now();
    stopper.join();
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST(HttpServerTest, StoppingClosesWhatIsNotAnsweredWithinTheGrace) {
    TestHandler handler;
    RunningServer running(handler);
    RawConnection connection(running.port());
    ASSERT_TRUE(connection.send("GET /defer HTTP/1.1\r\nHost: x\r\n\r\n"));
    Responder respond = handler.nextDeferred();
    ASSERT_TRUE(respond);
    const Clock::time_point start = Clock::now();
    running.stop(300ms);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_TRUE(connection.closedWithin(1s));
    // An answer after the end goes nowhere.
    respond(HttpResponse::text(200, "too late"));
}

}  // namespace
}  // namespace host

namespace host {
namespace {

// Signals and timers come on the engine's threads and end with the stop, so that run() returns:
// a signal stops the server, a repeating timer keeps ticking until then, and a timer asked for
// after the stop never fires.
TEST(HttpServerEventsTest, SignalsAndTimersRunOnTheEngineAndEndWithTheStop) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);  // as serve does: only the engine takes it

    TestHandler handler;
    HttpServer server(ServerLimits{});
    server.listen("127.0.0.1", 0);
    std::atomic<int> ticks{0};
    std::atomic<int> signals{0};
    std::atomic<bool> late{false};
    std::atomic<bool> onEngine{true};
    const auto engineThread = std::make_shared<std::atomic<std::thread::id>>();
    server.every(10ms, [&] { ++ticks; });
    server.after(30ms, [&] { kill(getpid(), SIGUSR1); });
    server.onSignals({SIGUSR1}, [&](int number) {
        EXPECT_EQ(number, SIGUSR1);
        ++signals;
        onEngine = onEngine && std::this_thread::get_id() == *engineThread;
        server.stop(10ms);
        server.after(60s, [&] { late = true; });
    });
    std::thread runner([&] {
        *engineThread = std::this_thread::get_id();
        server.run(handler, 1);
    });
    runner.join();  // would hang if a timer or the signal wait outlived the stop
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    EXPECT_EQ(signals.load(), 1);
    EXPECT_TRUE(onEngine.load());
    EXPECT_GE(ticks.load(), 1);
    EXPECT_FALSE(late.load());
}

}  // namespace
}  // namespace host
