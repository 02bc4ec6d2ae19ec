// What the tests need of the operating system, behind one header with an implementation per system
// (system_posix.cpp, system_win32.cpp), chosen by the build as for the platform layer. Tests whose
// expectation is a fact of the system ask these functions instead of testing the platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The tests run as a Windows program (possibly under Wine).
bool onWindows();
// The tests run as a Windows program under Wine, which differs from Windows in places; a test that
// accepts Wine's answer says so at the expectation.
bool underWine();
// The line end that a text-mode file stream writes for "\n".
std::string textLineEnd();

void setEnvironment(const char* name, const std::string& value);
void unsetEnvironment(const char* name);

// The C run-time library's own _splitpath (drive, directory, name, extension) and _makepath,
// where it has them; false elsewhere.
bool runtimeSplitPath(const std::string& path, std::string parts[4]);
bool runtimeMakePath(const std::string& drive, const std::string& directory,
                     const std::string& name, const std::string& extension, std::string& path);

// The names of the functions and data a library exports, sorted.
std::vector<std::string> exportedNames(const std::string& library);
// The DLLs a Windows library imports from, as its import table names them; empty elsewhere.
std::vector<std::string> importedLibraries(const std::string& library);

// Runs `body` with the process in a window station of its own that nobody sees, as a service
// runs (Windows), and returns true; false, without running it, elsewhere.
bool inInvisibleWindowStation(const std::function<void()>& body);

// The file of the loaded library that holds `address` (a function taken from it), or empty.
std::string moduleFileOf(const void* address);

// The ANSI code page that narrow file names and paths are in (Windows); 0 elsewhere.
unsigned ansiCodePage();

// Under Wine, whose WinINet numbers its handles from a table that hands out the lowest free
// entry: the value the next root handle will get (found by opening and closing one), and whether a
// handle of that value is open now. Elsewhere nothing outside a library can see its handles, and
// both answer 0 / false.
std::uintptr_t nextInternetHandle();
bool internetHandleIsOpen(std::uintptr_t handle);

// A port on 127.0.0.1 that is bound but not listening: connections to it are refused.
class ClosedPort {
  public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
};

// A listening socket on 127.0.0.1 whose accept queue is full: connection attempts get no answer.
class Unanswered {
  public:
    Unanswered();
    ~Unanswered();
    Unanswered(const Unanswered&) = delete;
    Unanswered& operator=(const Unanswered&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t listener_ = -1;
    std::intptr_t clients_[4] = {-1, -1, -1, -1};
    std::uint16_t port_ = 0;
};

// A socket listening on 127.0.0.1 that never accepts: connections complete in the system's queue,
// but nothing is ever said on them.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
};

// A web server on 127.0.0.1 that trickles its headers without end: a status line, then one byte
// of a header every 100 ms, so a client that waits for the headers never meets a stall limit.
class HeaderTrickler {
  public:
    HeaderTrickler();
    ~HeaderTrickler();
    HeaderTrickler(const HeaderTrickler&) = delete;
    HeaderTrickler& operator=(const HeaderTrickler&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    void serve();

    std::intptr_t listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The system's text for a refused connection, as its error messages word it.
std::string connectionRefusedText();

}  // namespace testing_support
