#include "hints.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "channelList.h"
#include "hostError.h"
#include "platform/reach.h"
#include "textCase.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr const char* kConfig = "Config";
constexpr const char* kHostName = "HostName";
constexpr const char* kTemplateName = "Dovetrail-MainPage.template";
constexpr const char* kHostNameMissing = "The host name has not been configured.";
// How many channel names an unknown-channel hint lists before it counts the rest.
constexpr std::size_t kNamesListed = 8;

// In the order plugin_init asks for them: the first that fails ends initialisation.
constexpr const char* kIntervalKeys[] = {
    "GetLoungeLatestUpdatePeriodUrl",
    "GetCommentLatestUpdatePeriodUrl",
    "GetArticleLatestUpdatePeriodUrl",
};

// The plug-in's download texts end in the address they failed on.
constexpr const char* kAddressPrefixes[] = {
    "Can't send the HTTP request: ",
    "Can't read the HTTP response: ",
    "Can't read the URL: ",
    "Can't open file: ",
    "Can't read file: ",
    "Can't parse URL: ",
    "The answer is too large to parse: ",
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool isHttp(const std::string& url) {
    return text::startsWithNoCase(url, "http://") || text::startsWithNoCase(url, "https://");
}

// A URL with a scheme other than http, https and file; the plug-in reads none of those.
bool hasOtherScheme(const std::string& url) {
    const std::size_t colon = url.find("://");
    return colon != std::string::npos && colon > 1 && !isHttp(url) &&
           !text::startsWithNoCase(url, "file:");
}

// The local path a file URL or a plain path names.
std::string localPathOf(const std::string& url) {
    if (!text::startsWithNoCase(url, "file:")) {
        return url;
    }
    std::string rest = url.substr(5);
    if (startsWith(rest, "//")) {
        const std::size_t slash = rest.find('/', 2);
        rest = slash == std::string::npos ? std::string() : rest.substr(slash);
    }
    return rest;
}

std::string addressIn(const std::string& message) {
    for (const char* prefix : kAddressPrefixes) {
        if (startsWith(message, prefix)) {
            return message.substr(std::strlen(prefix));
        }
    }
    return {};
}

std::string directoryOf(const std::string& configPath) {
    return fs::path(configPath).parent_path().string();
}

// What keeps the plug-in from reading `path` as a file; empty when nothing does.
std::string localProblem(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error).lexically_normal();
    const fs::file_status status = fs::status(absolute, error);
    if (fs::is_regular_file(status)) {
        std::ifstream probe(absolute, std::ios::binary);
        return probe ? std::string()
                     : absolute.string() + " can't be read: " + std::strerror(errno);
    }
    if (fs::is_directory(status)) {
        return absolute.string() + " is a directory, not a file";
    }
    if (fs::exists(status)) {
        return absolute.string() + " is not a regular file";
    }
    fs::path missing = absolute;
    for (fs::path parent = absolute.parent_path();
         !parent.empty() && parent != missing && !fs::exists(parent, error);
         parent = parent.parent_path()) {
        missing = parent;
    }
    if (missing != absolute) {
        return "there is no directory " + missing.string();
    }
    return "there is no file " + absolute.filename().string() + " in " +
           absolute.parent_path().string();
}

std::string sectionKey(const std::string& key, const std::string& section) {
    return key + " in [" + section + "]";
}

std::string joinUrl(const std::string& host, const std::string& path) {
    return host + "/" + path;
}

std::string logPointer(const HintFacts& facts) {
    return "Dovetrail.log in " + directoryOf(facts.configPath) +
           " has the plug-in's details (its groups are switched on in Dovetrail.debug there)";
}

// "HostName in [Config] and ChannelUrl in [lounge] of FILE", "HostName and
// GetLoungeLatestUpdatePeriodUrl in [Config] of FILE"
std::string keysOf(const HintFacts& facts) {
    const std::string inConfig = std::string(" in [") + kConfig + "]";
    std::string keys;
    if (facts.urlKey.empty() || facts.keyEmpty) {
        keys = sectionKey(kHostName, kConfig);
    } else if (facts.urlKey.size() > inConfig.size() &&
               facts.urlKey.compare(facts.urlKey.size() - inConfig.size(), inConfig.size(),
                                    inConfig) == 0) {
        keys = std::string(kHostName) + " and " + facts.urlKey;
    } else {
        keys = sectionKey(kHostName, kConfig) + " and " + facts.urlKey;
    }
    return keys + " of " + facts.configPath;
}

std::string unknownChannelHint(const Failure& failure, const HintFacts& facts) {
    if (facts.sectionExists) {
        return "the section [" + failure.channel + "] of " + facts.configPath +
               " has no ChannelUrl; set it to the path of the channel's answer on the web service";
    }
    if (facts.channels.empty()) {
        return facts.configPath + " configures no channels; a channel is a section such as [" +
               failure.channel + "] with a ChannelUrl";
    }
    std::string names;
    for (std::size_t i = 0; i < facts.channels.size() && i < kNamesListed; ++i) {
        names += (i == 0 ? "" : ", ") + facts.channels[i];
    }
    if (facts.channels.size() > kNamesListed) {
        names += " and " + std::to_string(facts.channels.size() - kNamesListed) + " more";
    }
    return "the channels of " + facts.configPath + " are " + names +
           " (`dovetrail channels` lists them with their titles); a channel is a section with a "
           "ChannelUrl";
}

std::string mainPageHint(const HintFacts& facts) {
    const std::string path = (fs::path(directoryOf(facts.configPath)) / kTemplateName).string();
    const std::string problem = facts.localProblem.empty()
                                    ? "it is there now; check that it can be read"
                                    : facts.localProblem;
    return "the plug-in reads the main page template from " + path +
           ", beside the INI file: " + problem + "; put one there (the bundled example has one)";
}

std::string downloadHint(const Failure& failure, const HintFacts& facts) {
    // An unreachable service comes first: setting the key would not help.
    if (facts.keyEmpty && !(facts.probed && !facts.reached)) {
        return "set " + facts.urlKey + " of " + facts.configPath +
               "; without it the plug-in asks for " + facts.url + " itself";
    }
    if (startsWith(failure.message, "Can't parse URL: ")) {
        return facts.url + " is not a URL the plug-in can read; " + keysOf(facts) + " form it";
    }
    if (startsWith(failure.message, "XML parse failed") ||
        startsWith(failure.message, "The answer is too large to parse: ")) {
        return "the answer at " + facts.url + " is not a list of the web service (" +
               keysOf(facts) + " name it); " + logPointer(facts);
    }
    if (hasOtherScheme(facts.url)) {
        return facts.url + " is neither http, https nor a local file; " + keysOf(facts) +
               " form it";
    }
    if (facts.local) {
        if (facts.localProblem.empty()) {
            return facts.url + " can be read now, so the failure may have passed; " +
                   logPointer(facts);
        }
        const bool relative = !fs::path(localPathOf(facts.url)).is_absolute();
        return facts.localProblem + " (" + keysOf(facts) + " form the path " + facts.url +
               (relative ? ", which is taken from the INI file's directory" : "") + ")";
    }
    if (facts.probed && !facts.reached) {
        return facts.reachReason + " (" + keysOf(facts) +
               " name the web service; check them, and that the service is running)";
    }
    if (facts.probed) {
        return "the web service of " + facts.url +
               " accepts connections now, so the failure may have passed; " + logPointer(facts);
    }
    return logPointer(facts);
}

}  // namespace

ReachProbe systemReachProbe() {
    return [](const std::string& url) {
        const platform::ReachResult result = platform::probeReach(url, kProbeMilliseconds);
        return result.reached ? std::string() : result.reason;
    };
}

HintFacts gatherHintFacts(const Failure& failure, const std::string& configPath,
                          const ReachProbe& probe) {
    HintFacts facts;
    facts.configPath = configPath;
    // An unreadable file reads as an empty one: no HostName, no sections.
    const std::string hostName = iniValue(configPath, kConfig, kHostName);
    facts.hostNameSet = !hostName.empty();
    try {
        for (const ChannelEntry& channel : readChannelList(configPath)) {
            facts.channels.push_back(channel.name);
        }
    } catch (const HostError&) {
        // Nor any channels; the rest of the facts can still be gathered.
    }

    if (failure.operation == Operation::MainPage) {
        facts.localProblem =
            localProblem((fs::path(directoryOf(configPath)) / kTemplateName).string());
        return facts;
    }
    if (failure.operation == Operation::Channel) {
        facts.sectionExists = hasIniSection(configPath, failure.channel);
    }
    // Only a failed download or parse has an address to look at.
    if (failure.status != 1 || !facts.hostNameSet) {
        return facts;
    }

    facts.url = addressIn(failure.message);
    // Which key formed the address: the channel's path, or the first interval query it matches.
    if (failure.operation == Operation::Channel) {
        const std::string path = iniValue(configPath, failure.channel, "ChannelUrl");
        if (facts.url.empty() || facts.url == joinUrl(hostName, path)) {
            facts.url = joinUrl(hostName, path);
            facts.urlKey = sectionKey("ChannelUrl", failure.channel);
        }
    } else {
        for (const char* key : kIntervalKeys) {
            const std::string path = iniValue(configPath, kConfig, key);
            if (!facts.url.empty() && facts.url == joinUrl(hostName, path)) {
                facts.urlKey = sectionKey(key, kConfig);
                facts.keyEmpty = path.empty();
                break;
            }
        }
    }
    if (facts.url.empty() || hasOtherScheme(facts.url)) {
        return facts;
    }
    if (isHttp(facts.url)) {
        if (probe) {
            facts.probed = true;
            facts.reachReason = probe(facts.url);
            facts.reached = facts.reachReason.empty();
        }
    } else if (!facts.keyEmpty) {
        facts.local = true;
        facts.localProblem = localProblem(localPathOf(facts.url));
    }
    return facts;
}

std::string hintFor(const Failure& failure, const HintFacts& facts) {
    switch (failure.status) {
        case 0:
        case 2:  // out of memory: nothing to configure
            return {};
        case 3:
            return mainPageHint(facts);
        case 4:
            return "the system's HTTP library could not be started; this is not caused by " +
                   facts.configPath +
                   " (check the library's installation and the proxy variables "
                   "of the environment)";
        case 5:
            return unknownChannelHint(failure, facts);
        default:
            break;
    }
    if (failure.message == kHostNameMissing || !facts.hostNameSet) {
        return "set " + sectionKey(kHostName, kConfig) + " of " + facts.configPath +
               " to the web service's address (such as https://community.example.org/webservices)"
               " or to a directory of answer files";
    }
    return downloadHint(failure, facts);
}

std::string intervalsNote(const std::string& configPath) {
    if (iniValue(configPath, kConfig, kHostName).empty()) {
        return sectionKey(kHostName, kConfig) + " of " + configPath +
               " is not set, so these are the plug-in's defaults; with it set, the web service is "
               "asked for its intervals";
    }
    std::string unset;
    for (const char* key : kIntervalKeys) {
        if (iniValue(configPath, kConfig, key).empty()) {
            unset += std::string(unset.empty() ? "" : ", ") + key;
        }
    }
    if (unset.empty()) {
        return {};
    }
    return "[Config] of " + configPath + " does not set " + unset +
           "; for those the plug-in asks for HostName/ itself and reports its default of 60 "
           "minutes when that answer holds no interval";
}

std::string channelsNote(const std::string& configPath, const std::vector<ChannelEntry>& channels) {
    if (channels.empty()) {
        return configPath + " configures no channels; a channel is a section with a ChannelUrl";
    }
    if (iniValue(configPath, kConfig, kHostName).empty()) {
        return sectionKey(kHostName, kConfig) + " of " + configPath +
               " is not set, so none of these channels can be fetched yet";
    }
    return {};
}

std::string hintFromFile(const Failure& failure, const std::string& configPath) {
    try {
        return hintFor(failure, gatherHintFacts(failure, configPath, systemReachProbe()));
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace host
