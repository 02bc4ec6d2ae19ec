// The dovetrail command line: parses the arguments, runs one command and returns the exit code
// (0, the plug-in's status 1 to 5, or a host code from hostError.h). Output goes to `out`,
// messages to `err`; serve also writes its access log to standard error.
//
// Not re-entrant: a command changes the process's working directory (to the INI file's) and serve
// blocks SIGINT and SIGTERM; call it once, from main.
#pragma once

#include <ostream>

namespace host {

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace host
