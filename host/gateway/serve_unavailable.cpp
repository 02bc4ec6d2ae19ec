// serve in the Windows build: the HTTP gateway is built for POSIX systems only so far. The command
// stays in the command line and fails with a message that says so.
#include "hostError.h"
#include "serve.h"

namespace host {

int runServe(const ServeOptions&, std::ostream&) {
    throw HostError(kExitUsage,
                    "serve is not available in the Windows build of dovetrail; use the channel, "
                    "main-page, intervals and channels commands, or run serve on Linux");
}

}  // namespace host
