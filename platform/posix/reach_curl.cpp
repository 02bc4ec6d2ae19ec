// Reachability over libcurl, so that name resolution, proxies and TLS are those of the downloads.

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/internet.h"
#include "platform/reach.h"

namespace platform {

namespace {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

// "HOST port P" from curl's "Failed to connect to HOST port P after N ms: ...", which names the
// proxy when there is one; `fallback` when the text has another form.
std::string connectTarget(const std::string& curlText, const std::string& fallback) {
    const std::string lead = "Failed to connect to ";
    const std::size_t after = curlText.find(" after ");
    if (curlText.rfind(lead, 0) != 0 || after == std::string::npos || after <= lead.size()) {
        return fallback;
    }
    return curlText.substr(lead.size(), after - lead.size());
}

}  // namespace

ReachResult probeReach(const std::string& url, std::uint32_t timeoutMilliseconds) {
    UrlParts parts;
    if (!crackUrl(url, url.size() + 1, url.size() + 1, parts) ||
        (parts.scheme != InternetScheme::Http && parts.scheme != InternetScheme::Https)) {
        return {false, "not an http or https URL: " + url};
    }
    const bool https = parts.scheme == InternetScheme::Https;
    const unsigned port = parts.port != 0 ? parts.port : (https ? 443u : 80u);
    const std::string where = parts.host + " port " + std::to_string(port);
    const std::string host =
        parts.host.find(':') != std::string::npos ? "[" + parts.host + "]" : parts.host;
    const std::string target =
        std::string(https ? "https://" : "http://") + host + ":" + std::to_string(port) + "/";

    static std::once_flag once;
    static CURLcode initialised = CURLE_OK;
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, EasyDeleter> easy(initialised == CURLE_OK ? curl_easy_init()
                                                                          : nullptr);
    if (!easy) {
        return {false, "can't start a connection: " + systemErrorText(ENOMEM)};
    }
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(easy.get(), CURLOPT_URL, target.c_str());
    // Connect (and shake hands for TLS), then stop: the service is asked nothing.
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMilliseconds));
    curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMilliseconds));
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, detail);
    const CURLcode code = curl_easy_perform(easy.get());
    if (code == CURLE_OK) {
        return {true, {}};
    }
    long osError = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &osError);
    const std::string curlText = detail[0] != '\0' ? detail : curl_easy_strerror(code);
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return {false, "no such host: " + parts.host};
        case CURLE_COULDNT_RESOLVE_PROXY:
            return {false, "no such proxy host: " + curlText};
        case CURLE_COULDNT_CONNECT: {
            const std::string why =
                osError != 0 ? systemErrorText(static_cast<unsigned long>(osError)) : std::string();
            return {false, "can't connect to " + connectTarget(curlText, where) + ": " +
                               (why.empty() ? curlText : why)};
        }
        case CURLE_OPERATION_TIMEDOUT:
            return {false, "timed out: no connection to " + where + " within " +
                               std::to_string(timeoutMilliseconds) + " ms"};
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
            return {false, "the TLS handshake with " + where + " failed: " + curlText};
        default:
            return {false, where + ": " + curlText};
    }
}

}  // namespace platform
