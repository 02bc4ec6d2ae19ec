#include <dlfcn.h>

#include <system_error>

#include "nativeLibrary.h"

namespace host {

std::unique_ptr<NativeLibrary> NativeLibrary::open(const std::string& path, std::string& error) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "unknown dlopen error";
        return nullptr;
    }
    return std::unique_ptr<NativeLibrary>(new NativeLibrary(handle));
}

NativeLibrary::~NativeLibrary() {
    dlclose(handle_);
}

NativeLibrary::Function NativeLibrary::function(const char* name) const {
    // dlsym yields an object pointer; POSIX guarantees that it converts to a function pointer.
    return reinterpret_cast<Function>(dlsym(handle_, name));
}

std::filesystem::path runningProgramPath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self;
}

// POSIX passes bytes through as they are.
void useBinaryStandardOutput() {}

}  // namespace host
