// The plug-in as the commands use it: the INI file and the library resolved from the command line
// (or the defaults of locate.h), then the library loaded and initialised in the INI file's
// directory.
//
// Not re-entrant: loading changes the process's working directory.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "pluginLibrary.h"

namespace host {

// The configuration file as an absolute path, checked to be a readable regular file: the plug-in
// itself would silently use defaults for a missing file. Empty `given` means the bundled example.
// Throws HostError (kExitNoConfig).
std::string resolveConfig(const std::string& given);

// The plug-in library to load; empty `given` means the default candidates. Throws HostError
// (kExitNoPlugin) when no default exists.
std::string resolvePlugin(const std::string& given);

// The plug-in reads relative local paths against the working directory: makes that the INI file's
// directory. Throws HostError (kExitNoConfig).
void enterConfigDirectory(const std::string& configPath);

struct LoadedPlugin {
    std::string config;  // absolute
    std::unique_ptr<PluginLibrary> library;
    std::unique_ptr<PluginSession> session;
};

// Resolves both paths, then loads and initialises the plug-in in the INI file's directory.
// `beforeChdir` runs while relative paths of the command line still mean what the user meant.
LoadedPlugin loadPlugin(const std::string& config, const std::string& plugin,
                        const std::function<void()>& beforeChdir = {});

}  // namespace host
