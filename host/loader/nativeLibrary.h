// What the host needs of the operating system to find and load a plug-in: a dynamic library
// (dlopen on POSIX, LoadLibraryA on Windows), the path of the running program, and a standard
// output that passes bytes through unchanged. One implementation per system, chosen by the build.
//
// NativeLibrary is a non-copyable owner: destroying it unloads the library, so nothing taken from
// it may be used afterwards. Loading and unloading may happen on any thread.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace host {

class NativeLibrary {
  public:
    // Any exported function; callers convert it to the function type they know it has.
    using Function = void (*)();

    // Loads the library at `path`: a bare name is looked for where the system looks for
    // libraries, anything else is a file path. Returns null and sets `error` to the system's
    // reason when it cannot be loaded.
    static std::unique_ptr<NativeLibrary> open(const std::string& path, std::string& error);

    ~NativeLibrary();
    NativeLibrary(const NativeLibrary&) = delete;
    NativeLibrary& operator=(const NativeLibrary&) = delete;

    // The exported function named `name`, or null.
    Function function(const char* name) const;

  private:
    explicit NativeLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

// The running program's file, or an empty path when the system cannot tell.
std::filesystem::path runningProgramPath();

// Makes standard output binary where the system would otherwise rewrite line ends, so that a
// channel written there is the plug-in's text byte for byte.
void useBinaryStandardOutput();

}  // namespace host
