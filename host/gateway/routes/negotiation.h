// Content negotiation and validators of the gateway's answers: whether a request takes gzip or
// asks for JSON, and the one way a prepared body (feeds::PreparedBody: the bytes and their gzip
// copy, each with a strong ETag) is answered.
//
// A prepared answer carries Content-Type, the ETag of the encoding sent, "Vary: Accept-Encoding"
// and, for the gzip copy, "Content-Encoding: gzip". A matching If-None-Match is answered 304.
// With freshness (a feed), Last-Modified and "Cache-Control: max-age" come after the ETag, and
// without an If-None-Match an If-Modified-Since at or after the last change is answered 304 (one
// that is not an HTTP date of the years 1970-9999 is ignored). Without freshness (the OPML list)
// If-Modified-Since is not looked at.
//
// Plain functions and values; safe from any thread. The answer shares the prepared bytes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "feedSet.h"
#include "httpMessage.h"
#include "httpText.h"

namespace host {

// The Accept-Encoding accepts gzip.
bool wantsGzip(const HttpRequest& request);
// ?format=json, or an Accept that names application/json before text/html.
bool wantsJson(const HttpRequest& request);

// What a request asks of a prepared body, copied from it, so that an answer given later, on
// another thread, can still use it.
struct FormRequest {
    bool gzip = false;
    std::optional<std::string> ifNoneMatch;
    std::optional<std::string> ifModifiedSince;

    static FormRequest of(const HttpRequest& request);
};

// How long a feed stays fresh and when its text last changed.
struct Freshness {
    TimePoint lastModified;
    std::string_view lastModifiedHttp;  // the same, as an HTTP date
    long long maxAgeSeconds = 0;
    TimePoint now;  // an If-Modified-Since after it is no validator (a reader's clock, or a probe)
};

HttpResponse preparedAnswer(const std::shared_ptr<const feeds::PreparedBody>& form,
                            const FormRequest& asked,
                            const std::optional<Freshness>& freshness = std::nullopt);

}  // namespace host
