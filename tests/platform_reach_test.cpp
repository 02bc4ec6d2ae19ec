// Reaching a web service's host without asking it anything: the system's reason for each way it
// fails, against loopback ports of this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/reach.h"
#include "support/loopbackServer.h"
#include "support/scopedEnv.h"
#include "support/system.h"

namespace {

std::string url(const char* scheme, std::uint16_t port) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/svc/lounge.xml";
}

TEST(ProbeReach, AListeningHostIsReachedWithoutARequest) {
    const testing_support::ScopedEnv noProxy("no_proxy", "*");
    const testing_support::LoopbackServer service;
    const platform::ReachResult result = platform::probeReach(service.url("/svc/lounge.xml"), 2000);
    EXPECT_TRUE(result.reached) << result.reason;
    EXPECT_EQ(result.reason, "");
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST(ProbeReach, EachFailureCarriesTheSystemsReason) {
    // A proxy of the environment would answer for every host.
    const testing_support::ScopedEnv noProxy("no_proxy", "*");
    const testing_support::ClosedPort bound;    // nothing listens: the connection is refused
    const testing_support::Unanswered full;     // connecting gets no answer
    const testing_support::SilentListener tls;  // connects, but never answers the TLS greeting
    struct Case {
        std::string url;
        bool reached;
        std::string reason;
    };
    const Case cases[] = {
        {url("http", bound.port()), false,
         "can't connect to 127.0.0.1 port " + std::to_string(bound.port()) + ": " +
             testing_support::connectionRefusedText()},
        {"http://nosuch.invalid/x.xml", false, "no such host: nosuch.invalid"},
        {url("http", full.port()), false,
         "timed out: no connection to 127.0.0.1 port " + std::to_string(full.port()) +
             " within 300 ms"},
        // The Windows probe connects without the TLS handshake (WinINet has no connect-only
        // mode), so there a listener is reached whatever it says.
        testing_support::onWindows() ? Case{url("https", tls.port()), true, ""}
                                     : Case{url("https", tls.port()), false,
                                            "timed out: no connection to 127.0.0.1 port " +
                                                std::to_string(tls.port()) + " within 300 ms"},
        {"service/lounge.xml", false, "not an http or https URL: service/lounge.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const auto start = std::chrono::steady_clock::now();
        const platform::ReachResult result = platform::probeReach(c.url, 300);
        EXPECT_EQ(result.reached, c.reached);
        EXPECT_EQ(result.reason, c.reason);
        // The time limit holds, with room for a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

}  // namespace
