#include "support/pluginLoader.h"

#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr std::size_t kAreaSize = DOVETRAIL_ERROR_TEXT_SIZE;
constexpr char kSentinel = '\x5A';

std::string untilZero(const char* area) {
    return std::string(area, strnlen(area, kAreaSize));
}

// Taken before any test changes the working directory.
const std::string kPluginPath = std::filesystem::absolute(DOVETRAIL_PLUGIN_PATH).string();
const std::string kProductPath = std::filesystem::absolute(DOVETRAIL_PRODUCT_PLUGIN_PATH).string();

}  // namespace

std::string pluginPath() {
    return kPluginPath;
}

std::string productPluginPath() {
    return kProductPath;
}

PluginLoader::PluginLoader(const std::string& libraryPath) {
    copyPath_ = dir_.file(std::filesystem::path(libraryPath).filename().string());
    std::filesystem::copy_file(libraryPath, copyPath_);
    std::string error;
    library_ = host::NativeLibrary::open(copyPath_, error);
    if (!library_) {
        throw std::runtime_error("Can't load " + copyPath_ + ": " + error);
    }
    auto get = reinterpret_cast<get_app_plugin_info_fn>(library_->function("get_app_plugin_info"));
    if (get == nullptr) {
        throw std::runtime_error("get_app_plugin_info is not exported");
    }
    get(&info_);
}

PluginLoader::~PluginLoader() = default;

PluginLoader::InitResult PluginLoader::init(const std::string& configPath) {
    InitResult result;
    char area[kAreaSize];
    std::memset(area, kSentinel, sizeof area);
    result.status = info_.plugin_init(configPath.c_str(), area);
    result.raw.assign(area, sizeof area);
    if (result.status == DOVETRAIL_STATUS_OK) {
        std::memcpy(result.intervals, area, sizeof result.intervals);
    } else {
        result.errorText = untilZero(area);
    }
    return result;
}

int32_t PluginLoader::term() {
    return info_.plugin_term();
}

namespace {

template <typename Call>
PluginLoader::Result collect(const PluginInfo& info, Call call) {
    PluginLoader::Result result;
    char error[kAreaSize];
    std::memset(error, kSentinel, sizeof error);
    char* text = reinterpret_cast<char*>(&result);  // a marker: must be overwritten or left alone
    char* const marker = text;
    uint32_t length = 0xDEADBEEF;
    result.status = call(&text, &length, error);
    result.rawError.assign(error, sizeof error);
    result.errorText = result.status == DOVETRAIL_STATUS_OK ? std::string() : untilZero(error);
    if (text != marker) {
        result.outputWritten = true;
        if (text != nullptr) {
            result.text.assign(text, length);
            info.plugin_free(text);
        }
    }
    return result;
}

}  // namespace

PluginLoader::Result PluginLoader::channel(const std::string& name) {
    return collect(info_, [&](char** text, uint32_t* length, char* error) {
        return info_.plugin_get_channel(name.c_str(), 0xFEEDFACEu, text, length, error);
    });
}

PluginLoader::Result PluginLoader::mainPage() {
    return collect(info_, [&](char** text, uint32_t* length, char* error) {
        return info_.plugin_get_main_page(text, length, error);
    });
}

}  // namespace testing_support
