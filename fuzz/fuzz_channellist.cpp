// Reads arbitrary INI files with the host's channel list, and checks it against the profile
// service's section list and the plug-in's own reading of the same file: every channel the host
// lists has a "ChannelUrl" for the plug-in and the title and home link the plug-in will use;
// every section in which the plug-in finds a "ChannelUrl" is listed; no channel is listed twice;
// the whole-list reader returns what one large enough buffer holds. The plug-in takes channel
// names as C strings, as it gets them through its interface.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "channelList.h"
#include "fuzzCheck.h"
#include "ini.h"
#include "platform/profile.h"
#include "textCase.h"

namespace {

std::string withoutBlanks(const std::string& text) {
    const char* const kBlanks = " \t\v\f\x1A";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The file every run writes and reads back; removed at exit.
class ScratchFile {
  public:
    ScratchFile()
        : path_((std::filesystem::temp_directory_path() /
                 ("dovetrail-fuzz-channellist-" + std::to_string(getpid()) + ".ini"))
                    .string()) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& write(std::string_view text) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        FUZZ_CHECK(static_cast<bool>(out));
        return path_;
    }

  private:
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchFile file;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string& path = file.write(text);

    const std::vector<host::ChannelEntry> channels = host::readChannelList(path);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            FUZZ_CHECK(!text::equalsNoCase(channels[i].name, channels[j].name));
        }
    }
    // The plug-in's home link defaults to HostName as it has read it, decoded.
    const std::string hostName = tools::getIniString(path, "Config", "HostName", "", true);
    for (std::size_t i = 0; i < channels.size() && i < 8; ++i) {
        const std::string section = channels[i].name.c_str();
        FUZZ_CHECK(!tools::getIniString(path, section, "ChannelUrl", "", true).empty());
        FUZZ_CHECK(tools::getIniString(path, section, "ChannelName", section, true) ==
                   channels[i].title);
        FUZZ_CHECK(tools::getIniString(path, section, "ChannelHomeUrl", hostName, true) ==
                   channels[i].homeUrl);
    }

    // No name in the list is longer than the line it comes from, so this buffer holds it whole.
    // An empty name ends the list, as for every reader of the list form.
    std::vector<char> list(size + 2);
    const std::size_t listed =
        platform::getPrivateProfileString(nullptr, nullptr, "", list.data(), list.size(), path);
    std::vector<std::string> sections;
    for (std::size_t at = 0; at < listed && list[at] != '\0';) {
        sections.emplace_back(list.data() + at);
        at += sections.back().size() + 1;
    }
    FUZZ_CHECK(tools::getIniSectionNames(path) == sections);
    for (std::size_t i = 0; i < sections.size() && i < 8; ++i) {
        const std::string& section = sections[i];
        FUZZ_CHECK(host::hasIniSection(path, section));
        if (!tools::getIniString(path, section, "ChannelUrl", "", true).empty()) {
            bool found = false;
            for (const host::ChannelEntry& channel : channels) {
                // The plug-in's lookup ignores blanks around the name asked for.
                found = found ||
                        text::equalsNoCase(withoutBlanks(channel.name), withoutBlanks(section));
            }
            FUZZ_CHECK(found);
        }
    }
    return 0;
}
