// The base URL of every absolute link the gateway writes (self links, OPML, the index page), and
// which Host values a request may name.
//
// - Links: under the public URL when one is configured, else under the listening address
//   (setListening). A Host header is each client's own to choose: links under it would let one
//   client choose the links every other reader gets (through any cache in between) and cost a
//   conversion of every channel per name. So there is exactly one base, and each fetch's forms
//   are written once, for it, on the fetch's thread.
// - Host: on a loopback listener only loopback names (localhost, 127.0.0.0/8, [::1]) and the
//   public URL's host are answered; answersHost() is false for any other name. A web page whose
//   name was rebound to 127.0.0.1 would otherwise read the status page and every feed. Beyond
//   loopback every Host is answered, with links under the one base. A request without a Host
//   (HTTP/1.0) is answered: browsers always send one.
//
// Thread-safety: BaseUrls may be used from several threads at once.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "httpMessage.h"

namespace host {

// "http://HOST[:PORT]" for a Host header that is a well-formed host name, IPv4 or [IPv6] address
// with an optional port (letters in lower case); nothing for anything else.
std::optional<std::string> baseUrlFromHost(std::string_view host);

// Whether a Host value names this machine's loopback: localhost, an address of 127.0.0.0/8 or
// [::1], with any port.
bool isLoopbackHost(std::string_view host);

class BaseUrls {
  public:
    // `publicUrl`: from feeds::normalizeBaseUrl, or empty.
    explicit BaseUrls(std::string publicUrl);

    const std::string& publicUrl() const { return publicUrl_; }
    // Where serve listens (`baseUrl` is its links' base without a public URL) and whether that is
    // a loopback address. Before a call: http://127.0.0.1:8080, every Host answered.
    void setListening(std::string baseUrl, bool loopback);
    // The one base of every link.
    std::string base() const;
    bool answersHost(const HttpRequest& request) const;

  private:
    const std::string publicUrl_;
    const std::string publicHost_;  // its host name, lower case, without the port
    mutable std::mutex mutex_;
    std::string listening_ = "http://127.0.0.1:8080";
    bool loopback_ = false;
};

}  // namespace host
