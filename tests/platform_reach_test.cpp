// Reaching a web service's host without asking it anything: the system's reason for each way it
// fails, against sockets of this process on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/reach.h"
#include "support/scopedEnv.h"

namespace {

// A loopback TCP socket on an ephemeral port: listening (connections complete in the kernel's
// backlog, but nothing is ever said on them) or only bound, so that connecting is refused.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(bool listening) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && listen(fd_, 8) != 0) ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("can't set up a loopback socket");
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackSocket() { close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int port() const { return port_; }
    std::string url(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/svc/lounge.xml";
    }

  private:
    int fd_;
    int port_ = 0;
};

TEST(ProbeReach, AListeningHostIsReachedWithoutARequest) {
    const testing_support::ScopedEnv noProxy("no_proxy", "*");
    const LoopbackSocket listening(true);
    const platform::ReachResult result = platform::probeReach(listening.url("http"), 2000);
    EXPECT_TRUE(result.reached) << result.reason;
    EXPECT_EQ(result.reason, "");
}

TEST(ProbeReach, EachFailureCarriesTheSystemsReason) {
    // A proxy of the environment would answer for every host.
    const testing_support::ScopedEnv noProxy("no_proxy", "*");
    const LoopbackSocket bound(false);  // nothing listens: the connection is refused
    const LoopbackSocket silent(true);  // accepts, but never answers the TLS greeting
    struct Case {
        std::string url;
        std::string reason;
    };
    const Case cases[] = {
        {bound.url("http"), "can't connect to 127.0.0.1 port " + std::to_string(bound.port()) +
                                ": Connection refused"},
        {"http://nosuch.invalid/x.xml", "no such host: nosuch.invalid"},
        {silent.url("https"), "timed out: no connection to 127.0.0.1 port " +
                                  std::to_string(silent.port()) + " within 300 ms"},
        {"service/lounge.xml", "not an http or https URL: service/lounge.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const auto start = std::chrono::steady_clock::now();
        const platform::ReachResult result = platform::probeReach(c.url, 300);
        EXPECT_FALSE(result.reached);
        EXPECT_EQ(result.reason, c.reason);
        // The time limit holds, with room for a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

}  // namespace
