// The serve command's routes:
//
//   /                        the gateway's index page: every channel, its state and its feeds
//   /channels/NAME.rss       RSS 2.0            /channels/NAME.atom     Atom 1.0
//   /channels/NAME.json      JSON Feed 1.1      /channels/NAME.plugin   the plug-in's own text
//   /channels.opml           OPML 2.0 with every channel, for a reader's import
//   /main-page               the plug-in's main page (404 with its message without a template)
//   /status                  every channel's fetches (HTML, or JSON)
//   /healthz, /readyz        the probes of a supervisor (routes/health.h)
//   /metrics                 Prometheus metrics (metrics/metrics.h)
//
// - Only GET and HEAD are served; any other method is answered 405 with "Allow: GET, HEAD".
// - NAME is percent-decoded (strictly, and not empty); whether it names a configured channel is
//   the channel handler's to say. EXT must be one of the four forms.
// - Any other path is answered 404 with a pointer to the channels.
//
// Thread-safety: a RouteTable is immutable once built; dispatch() may run on several threads at
// once, and calls the handlers on the caller's thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "feedFormats.h"
#include "httpMessage.h"

namespace host {

// What the path gave: NAME and EXT of /channels/NAME.EXT, nothing for the other routes.
struct RouteMatch {
    std::string name;
    feeds::FeedFormat format = feeds::FeedFormat::rss;
};

using RouteHandler = std::function<void(const HttpRequest&, const RouteMatch&, Responder)>;

// The handler of each route.
struct RouteHandlers {
    RouteHandler index;
    RouteHandler mainPage;
    RouteHandler status;
    RouteHandler opml;
    RouteHandler channel;
    RouteHandler health;
    RouteHandler ready;
    RouteHandler metrics;
};

class RouteTable {
  public:
    explicit RouteTable(RouteHandlers handlers);

    // Answers `request` through its route's handler, or with 405 or 404.
    void dispatch(const HttpRequest& request, Responder respond) const;

  private:
    struct Route {
        std::string_view pattern;  // an exact path, or a prefix followed by NAME.EXT
        RouteHandler handler;
    };
    std::vector<Route> routes_;
};

}  // namespace host
