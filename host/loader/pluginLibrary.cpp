#include "pluginLibrary.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "hostError.h"

namespace host {

namespace {

constexpr std::size_t kAreaSize = DOVETRAIL_ERROR_TEXT_SIZE;

// The error text up to its first zero byte; a plug-in that filled all 1024 bytes still gives a
// bounded text.
std::string areaText(const std::array<char, kAreaSize>& area) {
    return std::string(area.data(), strnlen(area.data(), area.size()));
}

std::string errorOrDescription(int32_t status, const std::array<char, kAreaSize>& area) {
    std::string text = areaText(area);
    return text.empty() ? describeStatus(status) : text;
}

template <typename Call>
CallResult collect(const PluginInfo& info, std::size_t maxBytes, Call call) {
    std::array<char, kAreaSize> error{};
    char* text = nullptr;
    uint32_t length = 0;
    CallResult result;
    result.status = call(&text, &length, error.data());
    // Owns the plug-in's buffer from here on, also if copying it throws.
    std::unique_ptr<char, plugin_free_fn> owned(text, info.plugin_free);
    if (result.status != DOVETRAIL_STATUS_OK) {
        result.error = errorOrDescription(result.status, error);
        return result;
    }
    if (text == nullptr && length != 0) {
        result.status = DOVETRAIL_STATUS_FAILED;
        result.error = "The plug-in reported success but returned no text.";
        return result;
    }
    if (length > maxBytes) {
        result.status = DOVETRAIL_STATUS_FAILED;
        result.error = "Can't keep the feed: " + std::to_string(length) +
                       " bytes is more than the limit of " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    if (length != 0) {
        result.text.assign(text, length);
    }
    return result;
}

}  // namespace

int32_t Intervals::longest() const {
    return std::max({lounge, messageBoards, articles});
}

int32_t Intervals::forKind(IntervalKind kind) const {
    switch (kind) {
        case IntervalKind::lounge:
            return lounge;
        case IntervalKind::messageBoards:
            return messageBoards;
        case IntervalKind::articles:
            return articles;
        case IntervalKind::longest:
            break;
    }
    return longest();
}

std::string describeStatus(int32_t status) {
    switch (status) {
        case DOVETRAIL_STATUS_OK:
            return "Success.";
        case DOVETRAIL_STATUS_FAILED:
            return "The plug-in reported a failure without a message.";
        case DOVETRAIL_STATUS_NO_MEMORY:
            return "The plug-in could not allocate the output buffer.";
        case DOVETRAIL_STATUS_NO_TEMPLATE:
            return "The plug-in cannot open its main page template file.";
        case DOVETRAIL_STATUS_NO_INTERNET:
            return "The plug-in cannot open an internet connection.";
        case DOVETRAIL_STATUS_UNKNOWN_CHANNEL:
            return "Unknown channel.";
        default:
            return "The plug-in returned the unknown status " + std::to_string(status) + ".";
    }
}

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    std::string why;
    library_ = NativeLibrary::open(path, why);
    if (!library_) {
        throw HostError(kExitNoPlugin, "Can't load the plug-in: " + path + ": " + why);
    }
    auto getInfo =
        reinterpret_cast<get_app_plugin_info_fn>(library_->function("get_app_plugin_info"));
    std::string problem;
    if (getInfo == nullptr) {
        problem = "it does not export get_app_plugin_info";
    } else {
        getInfo(&info_);
        if (info_.version != DOVETRAIL_INTERFACE_VERSION) {
            problem = "it reports interface version " + std::to_string(info_.version) +
                      ", this host needs " + std::to_string(DOVETRAIL_INTERFACE_VERSION);
        } else if (info_.plugin_init == nullptr || info_.plugin_term == nullptr ||
                   info_.plugin_alloc == nullptr || info_.plugin_free == nullptr ||
                   info_.plugin_get_main_page == nullptr || info_.plugin_get_channel == nullptr) {
            problem = "it leaves an entry point empty";
        }
    }
    if (!problem.empty()) {
        library_.reset();
        throw HostError(kExitNoPlugin, "Can't use the plug-in: " + path + ": " + problem + ".");
    }
}

PluginLibrary::~PluginLibrary() = default;

PluginSession::PluginSession(const PluginLibrary& library, const std::string& configPath)
    : info_(library.info()) {
    std::array<char, kAreaSize> area{};
    const int32_t status = info_.plugin_init(configPath.c_str(), area.data());
    if (status != DOVETRAIL_STATUS_OK) {
        std::string message = errorOrDescription(status, area);
        info_.plugin_term();
        throw PluginInitError(status, configPath, message);
    }
    std::array<int32_t, 3> values{};
    std::memcpy(values.data(), area.data(), sizeof values);
    intervals_ = Intervals{values[0], values[1], values[2]};
}

PluginSession::~PluginSession() {
    info_.plugin_term();
}

CallResult PluginSession::channel(const std::string& name, std::size_t maxBytes) const {
    return collect(info_, maxBytes, [&](char** text, uint32_t* length, char* error) {
        return info_.plugin_get_channel(name.c_str(), 0, text, length, error);
    });
}

CallResult PluginSession::mainPage() const {
    return collect(info_, std::numeric_limits<std::size_t>::max(),
                   [&](char** text, uint32_t* length, char* error) {
                       return info_.plugin_get_main_page(text, length, error);
                   });
}

}  // namespace host
