#include "httpMessage.h"

#include <algorithm>

#include "textCase.h"

namespace host {

const std::string* HttpRequest::header(std::string_view name) const {
    for (const HttpHeader& h : headers) {
        if (text::equalsNoCase(h.name, name)) {
            return &h.value;
        }
    }
    return nullptr;
}

std::string HttpRequest::version() const {
    return "HTTP/" + std::to_string(versionMajor) + "." + std::to_string(versionMinor);
}

Body::Body(std::string text)
    : storage_(std::make_shared<const std::string>(std::move(text))),
      offset_(0),
      length_(storage_->size()) {}

Body::Body(std::shared_ptr<const std::string> storage, std::size_t offset, std::size_t length)
    : storage_(std::move(storage)) {
    const std::size_t size = storage_ ? storage_->size() : 0;
    offset_ = std::min(offset, size);
    length_ = std::min(length, size - offset_);
}

std::string_view Body::view() const {
    if (!storage_) {
        return {};
    }
    return std::string_view(*storage_).substr(offset_, length_);
}

bool Body::sharesWith(const Body& other) const {
    return view().data() == other.view().data() && size() == other.size();
}

void HttpResponse::set(std::string_view name, std::string value) {
    for (HttpHeader& h : headers) {
        if (text::equalsNoCase(h.name, name)) {
            h.value = std::move(value);
            return;
        }
    }
    headers.push_back(HttpHeader{std::string(name), std::move(value)});
}

const std::string* HttpResponse::header(std::string_view name) const {
    for (const HttpHeader& h : headers) {
        if (text::equalsNoCase(h.name, name)) {
            return &h.value;
        }
    }
    return nullptr;
}

HttpResponse HttpResponse::text(int status, std::string text) {
    HttpResponse response;
    response.status = status;
    response.set("Content-Type", "text/plain; charset=ISO-8859-1");
    if (status >= 400) {
        // Error texts quote what the client sent (names, Host values): a browser must not take
        // them for HTML or script.
        response.set("X-Content-Type-Options", "nosniff");
    }
    response.body = Body(std::move(text));
    return response;
}

}  // namespace host
