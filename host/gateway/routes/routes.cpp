#include "routes.h"

#include <optional>

#include "textEscape.h"

namespace host {

namespace {

constexpr std::string_view kNameExt = "NAME.EXT";

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::optional<RouteMatch> match(std::string_view pattern, std::string_view path) {
    if (!endsWith(pattern, kNameExt)) {
        return path == pattern ? std::optional<RouteMatch>(RouteMatch{}) : std::nullopt;
    }
    const std::string_view prefix = pattern.substr(0, pattern.size() - kNameExt.size());
    if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    const std::string_view rest = path.substr(prefix.size());
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<feeds::FeedFormat> format = feeds::parseFeedFormat(rest.substr(dot + 1));
    const std::optional<std::string> name =
        format ? text::percentDecodeStrict(rest.substr(0, dot)) : std::nullopt;
    if (!name || name->empty()) {
        return std::nullopt;
    }
    return RouteMatch{*name, *format};
}

}  // namespace

RouteTable::RouteTable(RouteHandlers handlers)
    : routes_{{"/", std::move(handlers.index)},
              {"/main-page", std::move(handlers.mainPage)},
              {"/status", std::move(handlers.status)},
              {"/channels.opml", std::move(handlers.opml)},
              {"/channels/NAME.EXT", std::move(handlers.channel)},
              {"/healthz", std::move(handlers.health)},
              {"/readyz", std::move(handlers.ready)},
              {"/metrics", std::move(handlers.metrics)}} {}

void RouteTable::dispatch(const HttpRequest& request, Responder respond) const {
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse response =
            HttpResponse::text(405, "Method not allowed: " + text::printable(request.method) +
                                        "\nThis server answers GET and HEAD only.\n");
        response.set("Allow", "GET, HEAD");
        respond(std::move(response));
        return;
    }
    for (const Route& route : routes_) {
        if (const std::optional<RouteMatch> found = match(route.pattern, request.path)) {
            route.handler(request, *found, std::move(respond));
            return;
        }
    }
    respond(HttpResponse::text(
        404, "Not found: " + text::printable(request.path) +
                 "\nChannels are served at /channels/NAME.rss (also .atom, .json and .plugin); "
                 "/ lists them.\n"));
}

}  // namespace host
