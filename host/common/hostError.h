// The host's exit codes and the exception that carries one.
//
// Codes 1 to 5 are the plug-in's own status codes, passed through unchanged; the host's own
// failures use the sysexits range so that a script can tell them apart.
#pragma once

#include <stdexcept>
#include <string>

namespace host {

enum ExitCode : int {
    kExitOk = 0,
    // 1..5: the plug-in's status (see dovetrail.h).
    kExitUsage = 64,         // the command line is wrong
    kExitDataError = 65,     // the plug-in's text cannot be converted to the asked format
    kExitNoConfig = 66,      // the configuration file cannot be found or read
    kExitNoUser = 67,        // serve --user names no user
    kExitNoPlugin = 69,      // the plug-in library cannot be found, loaded or used
    kExitInternal = 70,      // an unexpected error inside the host
    kExitCannotListen = 71,  // serve: the listen address cannot be bound
    kExitCannotWrite = 73,   // an output file cannot be written
    kExitNoPermission = 77,  // serve --user: the switch to that user is not allowed
};

// A failure that ends a command with `exitCode`; what() is the message for the user.
class HostError : public std::runtime_error {
  public:
    HostError(int exitCode, const std::string& message)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const noexcept { return exitCode_; }

  private:
    int exitCode_;
};

}  // namespace host
