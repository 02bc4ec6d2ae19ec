// What serve tells a supervising systemd, read from a notification socket of the test's own as
// systemd would read it; and that a wedged engine stops the watchdog's pings.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "httpMessage.h"
#include "supervisor.h"
#include "support/runningServer.h"
#include "support/tempDir.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// A datagram socket where NOTIFY_SOCKET points, with the watchdog's variables set for this
// process; the environment is put back afterwards.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path, std::chrono::microseconds watchdog) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        timeval timeout{0, 50000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        ::setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
        ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
        ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The messages that arrive within `period`.
    std::vector<std::string> receive(std::chrono::milliseconds period) {
        std::vector<std::string> messages;
        const auto end = std::chrono::steady_clock::now() + period;
        while (std::chrono::steady_clock::now() < end) {
            char buffer[512];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got > 0) {
                messages.emplace_back(buffer, static_cast<std::size_t>(got));
            }
        }
        return messages;
    }

  private:
    int fd_ = -1;
};

class NoAnswers : public RequestHandler {
  public:
    void handle(const HttpRequest&, Responder respond) override { respond(HttpResponse{}); }
};

std::size_t count(const std::vector<std::string>& messages, const std::string& text) {
    std::size_t n = 0;
    for (const std::string& m : messages) {
        n += m == text ? 1 : 0;
    }
    return n;
}

TEST(SupervisorTest, ReadyThenPingsFromTheEngineThatStopWhileItIsWedged) {
    testing_support::TempDir dir;
    NotifySocket socket((dir.path() / "notify").string(), 100ms);
    const SupervisorNotifier notifier;
    ASSERT_EQ(notifier.watchdogInterval(), std::chrono::microseconds(100000));
    notifier.ready("serving on http://127.0.0.1:1/");
    EXPECT_EQ(socket.receive(20ms),
              std::vector<std::string>{"READY=1\nSTATUS=serving on http://127.0.0.1:1/"});

    NoAnswers handler;
    testing_support::RunningServer running(handler, {}, 1);
    superviseEngine(running.server(), notifier);
    // Every 50 ms: about six in 300 ms.
    EXPECT_GE(count(socket.receive(300ms), "WATCHDOG=1"), 4u);

    // The engine's one thread stuck in a task: no ping while it is, so systemd would restart it.
    std::mutex mutex;
    std::condition_variable wake;
    bool release = false;
    running.server().after(0ms, [&] {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return release; });
    });
    socket.receive(60ms);  // a ping already on its way
    EXPECT_EQ(count(socket.receive(300ms), "WATCHDOG=1"), 0u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    wake.notify_all();
    EXPECT_GE(count(socket.receive(300ms), "WATCHDOG=1"), 3u);
    notifier.stopping();
    EXPECT_EQ(count(socket.receive(100ms), "STOPPING=1"), 1u);
}

TEST(SupervisorTest, OutsideSystemdNothingIsSentAndNoTimerRuns) {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    const SupervisorNotifier notifier;
    EXPECT_EQ(notifier.watchdogInterval(), std::nullopt);
    notifier.ready("x");  // no socket: nothing to do, nothing to fail
    notifier.watchdog();
}

}  // namespace
}  // namespace host
