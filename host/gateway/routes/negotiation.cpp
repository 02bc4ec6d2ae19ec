#include "negotiation.h"

#include "textDates.h"

namespace host {

namespace {

std::optional<std::string> headerCopy(const HttpRequest& request, std::string_view name) {
    const std::string* value = request.header(name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

bool notModified(const FormRequest& asked, const std::string& etag,
                 const std::optional<Freshness>& freshness) {
    if (asked.ifNoneMatch) {
        return etagMatches(*asked.ifNoneMatch, etag);
    }
    if (!freshness || !asked.ifModifiedSince) {
        return false;
    }
    const auto since = text::parseHttpDate(*asked.ifModifiedSince);
    // Compared in seconds: a far date does not fit the clock's nanoseconds.
    return since.has_value() &&
           *since <= std::chrono::floor<std::chrono::seconds>(freshness->now) &&
           std::chrono::floor<std::chrono::seconds>(freshness->lastModified) <= *since;
}

}  // namespace

bool wantsGzip(const HttpRequest& request) {
    const std::string* accept = request.header("Accept-Encoding");
    return accept != nullptr && acceptsGzip(*accept);
}

bool wantsJson(const HttpRequest& request) {
    if (queryValue(request.query, "format") == "json") {
        return true;
    }
    const std::string* accept = request.header("Accept");
    if (accept == nullptr) {
        return false;
    }
    const std::size_t json = accept->find("application/json");
    if (json == std::string::npos) {
        return false;
    }
    // A browser lists text/html first; prefer HTML when it comes before JSON.
    const std::size_t html = accept->find("text/html");
    return html == std::string::npos || json < html;
}

FormRequest FormRequest::of(const HttpRequest& request) {
    return FormRequest{wantsGzip(request), headerCopy(request, "If-None-Match"),
                       headerCopy(request, "If-Modified-Since")};
}

HttpResponse preparedAnswer(const std::shared_ptr<const feeds::PreparedBody>& form,
                            const FormRequest& asked, const std::optional<Freshness>& freshness) {
    const std::string& etag = asked.gzip ? form->gzipEtag : form->etag;
    HttpResponse response;
    response.set("Content-Type", form->contentType);
    response.set("ETag", etag);
    if (freshness) {
        response.set("Last-Modified", std::string(freshness->lastModifiedHttp));
        response.set("Cache-Control", "max-age=" + std::to_string(freshness->maxAgeSeconds));
    }
    response.set("Vary", "Accept-Encoding");
    if (asked.gzip) {
        response.set("Content-Encoding", "gzip");
    }
    if (notModified(asked, etag, freshness)) {
        response.status = 304;
        return response;
    }
    // The answer shares the prepared bytes; the aliasing pointer keeps the form alive.
    const std::string& bytes = asked.gzip ? form->gzip : form->identity;
    response.body = Body(std::shared_ptr<const std::string>(form, &bytes), 0, bytes.size());
    return response;
}

}  // namespace host
