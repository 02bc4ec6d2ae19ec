// The base URL of a request's absolute links (self links, OPML, the index page): the public URL
// when one is configured; else the request's Host, when it is a well-formed host and port and one
// of the first kMaxHostBases such names met (so that made-up Host headers cost neither memory nor
// conversions); else the fallback base (the listening address).
//
// Thread-safety: BaseUrls may be used from several threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "httpMessage.h"
#include "httpText.h"

namespace host {

// "http://HOST[:PORT]" for a Host header that is a well-formed host name, IPv4 or [IPv6] address
// with an optional port (letters in lower case); nothing for anything else.
std::optional<std::string> baseUrlFromHost(std::string_view host);

class BaseUrls {
  public:
    // Base URLs taken from Host headers, at most.
    static constexpr std::size_t kMaxHostBases = 8;

    // `publicUrl` empty: the request's Host says. `now` dates the one line written when the
    // names are used up.
    BaseUrls(std::string publicUrl, std::function<TimePoint()> now);

    const std::string& publicUrl() const { return publicUrl_; }
    // Ignored with a public URL.
    void setFallback(std::string baseUrl);
    std::string forRequest(const HttpRequest& request);

  private:
    const std::string publicUrl_;
    const std::function<TimePoint()> now_;
    std::mutex mutex_;
    std::string fallback_ = "http://127.0.0.1:8080";
    std::set<std::string> hostBases_;
    bool full_ = false;
};

}  // namespace host
