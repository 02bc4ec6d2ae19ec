// Loads the built plug-in exactly as a host does (dlopen, LoadLibraryA) and hands out its entry
// points.
//
// Each loader loads its own private copy of the library file, so every test starts from fresh
// module state (configuration path, intervals, log file, message groups).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dovetrail/dovetrail.h"
#include "nativeLibrary.h"
#include "support/tempDir.h"

namespace testing_support {

// The path of the plug-in under test: the product's code with the test build's fault switches
// (pluginTestSwitches.cpp).
std::string pluginPath();
// The product itself, as hosts get it.
std::string productPluginPath();

class PluginLoader {
  public:
    explicit PluginLoader(const std::string& libraryPath = pluginPath());
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    const PluginInfo& info() const { return info_; }
    const host::NativeLibrary& library() const { return *library_; }
    // The private copy that was loaded.
    const std::string& loadedPath() const { return copyPath_; }

    // Results of the entry points, with the error text and the output copied out and the output
    // buffer released with plugin_free.
    struct Result {
        int32_t status = -1;
        std::string text;       // the output text (status 0)
        std::string errorText;  // the error buffer up to its first zero byte
        std::string rawError;   // all 1024 bytes of the error buffer
        bool outputWritten = false;
    };
    struct InitResult {
        int32_t status = -1;
        int32_t intervals[3] = {0, 0, 0};
        std::string errorText;
        std::string raw;  // all 1024 bytes of the init result area
    };

    InitResult init(const std::string& configPath);
    int32_t term();
    Result channel(const std::string& name);
    Result mainPage();

  private:
    TempDir dir_;  // holds the copy; removed after the library is unloaded
    std::string copyPath_;
    std::unique_ptr<host::NativeLibrary> library_;
    PluginInfo info_{};
};

}  // namespace testing_support
