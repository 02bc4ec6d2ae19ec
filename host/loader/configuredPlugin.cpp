#include "configuredPlugin.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "hostError.h"
#include "locate.h"

namespace fs = std::filesystem;

namespace host {

std::string resolveConfig(const std::string& given) {
    fs::path path = given.empty() ? firstExisting(defaultConfigCandidates(programDirectory()),
                                                  "the bundled example configuration",
                                                  "--config FILE", kExitNoConfig)
                                  : fs::path(given);
    std::error_code error;
    path = fs::absolute(path, error).lexically_normal();
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        throw HostError(kExitNoConfig,
                        "Can't read the configuration file: " + path.string() + ": No such file");
    }
    if (fs::is_directory(status)) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + path.string() +
                                           ": it is a directory");
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + path.string() +
                                           ": " + std::strerror(errno));
    }
    return path.string();
}

std::string resolvePlugin(const std::string& given) {
    if (given.empty()) {
        return firstExisting(defaultPluginCandidates(programDirectory()), "the plug-in library",
                             "--plugin FILE", kExitNoPlugin)
            .string();
    }
    std::error_code error;
    // The system searches its library path for a bare name; a name with a directory is a path.
    return !fs::path(given).has_parent_path() && !fs::exists(given, error)
               ? given
               : fs::absolute(given, error).lexically_normal().string();
}

void enterConfigDirectory(const std::string& configPath) {
    const fs::path dir = fs::path(configPath).parent_path();
    std::error_code error;
    fs::current_path(dir, error);
    if (error) {
        throw HostError(kExitNoConfig, "Can't change to the configuration file's directory: " +
                                           dir.string() + ": " + error.message());
    }
}

LoadedPlugin loadPlugin(const std::string& config, const std::string& plugin,
                        const std::function<void()>& beforeChdir) {
    LoadedPlugin loaded;
    loaded.config = resolveConfig(config);
    const std::string library = resolvePlugin(plugin);
    if (beforeChdir) {
        beforeChdir();
    }
    enterConfigDirectory(loaded.config);
    loaded.library = std::make_unique<PluginLibrary>(library);
    loaded.session = std::make_unique<PluginSession>(*loaded.library, loaded.config);
    return loaded;
}

}  // namespace host
