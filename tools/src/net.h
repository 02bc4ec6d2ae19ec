// Downloading one URL (or a local file named by it), and the text of the last system error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/internet.h"

namespace tools {

// Takes a response body piece by piece, each read straight into a buffer the sink lends, so a
// consumer such as a parser never needs the whole body at once. The download calls, in order:
// begin once; then room and received for every piece (room again after each received); then end
// once the body is complete. A failure of the download throws from downloadUrl instead, so end is
// then never called. Exceptions thrown by the sink pass through downloadUrl unchanged.
class BodySink {
  public:
    virtual ~BodySink() = default;
    // The response's status and status text, before any byte of its body (a local file reports
    // 200 "OK"). A redirect that was not followed (301, 302) is followed by end() at once: no body.
    virtual void begin(std::uint32_t status, const std::string& statusText) = 0;
    // Where the next piece goes: at least one byte of room, at most `wanted` is used. The buffer
    // stays the sink's.
    virtual char* room(std::size_t wanted) = 0;
    // `count` bytes (1 or more) now stand at the start of the last room.
    virtual void received(std::size_t count) = 0;
    // The body is complete.
    virtual void end() = 0;
};

// Fetches `url` with one HTTP/1.1 GET (or reads the local file that a "file://" URL or a plain
// path names) and hands its body to `sink` in pieces of at most 64 KiB. Returns normally whenever a
// response arrived and its body could be read, whatever its status.
// Throws std::runtime_error with a one-line "what failed: URL" message on every failure. Logs to
// the "InternetDownloads" and "HttpHeaders" message groups; the line with the byte count comes
// after the last piece.
void downloadUrl(const std::shared_ptr<platform::InternetSession>& session, const std::string& url,
                 BodySink& sink);

// The same, gathering the whole body into `body`: after a normal return a zero byte follows the
// body in storage without being counted in its size; a redirect that was not followed leaves it
// empty.
void downloadUrl(const std::shared_ptr<platform::InternetSession>& session, const std::string& url,
                 std::vector<char>& body);

// The last system error of the calling thread as one line of text; "WIN32 error %08lX" when the
// error is 0 or the system has no text for it. Never throws for lack of a message.
std::string win32ErrorText();

}  // namespace tools
