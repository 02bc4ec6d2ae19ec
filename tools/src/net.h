// Downloading one URL (or a local file named by it) into memory, and the text of the last system
// error.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/internet.h"

namespace tools {

// Fetches the whole body of `url` into `body` with one HTTP/1.1 GET (or reads the local file that a
// "file://" URL or a plain path names). Returns normally whenever a response arrived, whatever its
// status; a redirect that was not followed leaves `body` empty. After a normal return a zero byte
// follows the body in storage without being counted in its size.
// Throws std::runtime_error with a one-line "what failed: URL" message on every failure. Logs to
// the "InternetDownloads" and "HttpHeaders" message groups.
void downloadUrl(const std::shared_ptr<platform::InternetSession>& session, const std::string& url,
                 std::vector<char>& body);

// The last system error of the calling thread as one line of text; "WIN32 error %08lX" when the
// error is 0 or the system has no text for it. Never throws for lack of a message.
std::string win32ErrorText();

}  // namespace tools
