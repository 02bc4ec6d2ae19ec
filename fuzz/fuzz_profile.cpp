// Reads INI files through the profile reader and the typed settings. The first byte chooses the
// mode. Even: the rest drives the building of a well-formed file (sections, keys, comments, blank
// lines, mixed line ends, blanks, quotes, case variants, duplicates), and every lookup must agree
// with a plain model of that file. Odd: the rest is the file as it stands, and the lookups must
// agree with each other (listed names are found, typed reads match the raw value, decoding never
// grows a value, cut values stay inside the buffer).
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzCheck.h"
#include "ini.h"
#include "platform/profile.h"
#include "textCase.h"
#include "textEscape.h"

namespace {

// The file every run writes and reads back; removed at exit.
class ScratchFile {
  public:
    ScratchFile()
        : path_((std::filesystem::temp_directory_path() /
                 ("dovetrail-fuzz-profile-" + std::to_string(getpid()) + ".ini"))
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

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Profile lookups as the settings code makes them; `size` is the buffer size.
std::string profileString(const char* section, const char* key, const char* defaultValue,
                          std::size_t size, const std::string& path) {
    std::vector<char> buffer(size + 1, '\x7f');  // one guard byte past the buffer
    const std::size_t count =
        platform::getPrivateProfileString(section, key, defaultValue, buffer.data(), size, path);
    FUZZ_CHECK(buffer[size] == '\x7f');
    if (size == 0) {
        FUZZ_CHECK(count == 0);
        return {};
    }
    FUZZ_CHECK(count < size && buffer[count] == '\0');
    if ((section == nullptr || key == nullptr) && size >= 2) {
        // A list ends in an empty name, so in two zero bytes, also when it was cut.
        const bool whole = count == 0 ? buffer[1] == '\0' : buffer[count - 1] == '\0';
        FUZZ_CHECK(whole || (count == size - 2 && buffer[count + 1] == '\0'));
    }
    return std::string(buffer.data(), count);
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\0') {
            names.push_back(list.substr(start, i - start));
            start = i + 1;
        }
    }
    return names;
}

// ---- The model of a well-formed file ----

struct Key {
    std::string name;
    std::string value;  // as the reader returns it: without blanks and one pair of quotes
};

struct Section {
    std::string name;
    std::vector<Key> keys;
};

struct Model {
    std::vector<Section> sections;

    const Section* find(std::string_view name) const {
        for (const Section& s : sections) {
            if (text::equalsNoCase(s.name, name)) {
                return &s;
            }
        }
        return nullptr;
    }

    // Lookups ignore blanks around the names asked for.
    std::optional<std::string> value(std::string_view section, std::string_view key) const {
        section.remove_prefix(std::min(section.find_first_not_of(" \t"), section.size()));
        key.remove_prefix(std::min(key.find_first_not_of(" \t"), key.size()));
        if (const Section* s = find(section)) {
            for (const Key& k : s->keys) {
                if (text::equalsNoCase(k.name, key)) {
                    return k.value;
                }
            }
        }
        return std::nullopt;
    }
};

constexpr std::string_view kNameChars = "abcDEFxyzLOUNGE0129_.-% ";
constexpr const char* kLineEnds[] = {"\n", "\r\n", "\r"};
constexpr const char* kBlanks[] = {"", " ", "\t", "  \t "};

std::string name(FuzzedDataProvider& in) {
    std::string text;
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(1, 8);
    for (std::size_t i = 0; i < length; ++i) {
        text += kNameChars[in.ConsumeIntegralInRange<std::size_t>(0, kNameChars.size() - 1)];
    }
    // Names never begin or end with a blank; inner blanks are part of them.
    if (text.front() == ' ') {
        text.front() = 'n';
    }
    if (text.back() == ' ') {
        text.back() = 'n';
    }
    return text;
}

// A value without line ends or zero bytes, not starting or ending with a blank.
std::string value(FuzzedDataProvider& in) {
    std::string text = in.ConsumeRandomLengthString(40);
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) { return c == '\r' || c == '\n' || c == '\0'; }),
               text.end());
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
    };
    while (!text.empty() && blank(text.back())) {
        text.pop_back();
    }
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
    return text;
}

std::string unquoted(const std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

// Letter case and surrounding blanks of a name as a caller may spell it.
std::string respelled(FuzzedDataProvider& in, std::string text) {
    for (char& c : text) {
        if (in.ConsumeBool()) {
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : lower(c);
        }
    }
    return kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)] + text;
}

std::string percentDecoded(const std::string& raw) {
    const auto hex = [](char c) {
        const std::string_view digits = "0123456789abcdef";
        const std::size_t at = digits.find(lower(c));
        return at == std::string_view::npos ? -1 : static_cast<int>(at);
    };
    std::string result;
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
            result += static_cast<char>(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
            i += 3;
        } else {
            result += raw[i++];
        }
    }
    return result;
}

std::string trimmed(const std::string& text) {
    const char* const kSpace = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The leading integer as Windows reads it: taken modulo 2^32 ("4294967297" is 1), then as a
// signed 32-bit number.
int leadingNumber(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i++] == '-';
    }
    std::uint32_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10U + static_cast<std::uint32_t>(text[i] - '0');
    }
    return static_cast<int>(negative ? 0U - magnitude : magnitude);
}

// Room for any value or list of a built file.
constexpr std::size_t kBuilt = 4096;

void wellFormed(FuzzedDataProvider& in, const std::string& path, ScratchFile& file) {
    Model model;
    std::string text = in.ConsumeBool() ? "\xEF\xBB\xBF" : "";
    const std::size_t lines = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    std::optional<std::size_t> current;  // index of the section whose keys count
    for (std::size_t i = 0; i < lines; ++i) {
        const std::string before = kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)];
        const std::string after = kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)];
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                std::string sectionName = name(in);
                if (!model.sections.empty() && in.ConsumeBool()) {
                    sectionName = respelled(in, model.sections.back().name);
                    sectionName.erase(0, sectionName.find_first_not_of(" \t"));
                }
                text += before + "[" + kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)] +
                        sectionName + "]" + after;
                if (model.find(sectionName) == nullptr) {
                    model.sections.push_back(Section{sectionName, {}});
                    current = model.sections.size() - 1;
                } else {
                    current.reset();  // only the first section of a name is read
                }
                break;
            }
            case 1:
            case 2: {
                std::string keyName = name(in);
                if (keyName.front() == '%' || keyName.front() == '[') {
                    keyName.front() = 'k';
                }
                const std::string raw = value(in);
                const std::string quote = in.ConsumeBool() ? "" : (in.ConsumeBool() ? "\"" : "'");
                const std::string written = quote + raw + quote;
                text += before + keyName + kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)] +
                        "=" + kBlanks[in.ConsumeIntegralInRange<std::size_t>(0, 3)] + written +
                        after;
                if (current) {
                    model.sections[*current].keys.push_back(Key{keyName, unquoted(written)});
                }
                break;
            }
            case 3:
                text += before + ";" + value(in);
                break;
            default:
                text += before;
                break;
        }
        if (i + 1 < lines || in.ConsumeBool()) {
            text += kLineEnds[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        }
    }
    file.write(text);

    // Section list: every named section in file order, repeats included, is the reader's
    // business; the first of each name must be there.
    const std::vector<std::string> listed =
        splitList(profileString(nullptr, nullptr, "", kBuilt, path));
    for (const Section& s : model.sections) {
        FUZZ_CHECK(std::any_of(listed.begin(), listed.end(),
                               [&](const std::string& n) { return n == s.name; }));
    }

    // Every lookup reads the file afresh, so a run asks a handful of them, chosen by the input.
    const std::size_t queries = std::min<std::size_t>(model.sections.size() + 1, 4);
    for (std::size_t q = 0; q < queries && in.remaining_bytes() > 0; ++q) {
        const Section* s = q < model.sections.size() ? &model.sections[q] : nullptr;
        const std::string sectionName = s != nullptr ? respelled(in, s->name) : "Missing";
        // Key list of the section, in file order.
        const std::vector<std::string> keys =
            splitList(profileString(sectionName.c_str(), nullptr, "", kBuilt, path));
        FUZZ_CHECK(keys.size() == (s != nullptr ? s->keys.size() : 0));
        for (std::size_t k = 0; k < keys.size(); ++k) {
            FUZZ_CHECK(keys[k] == s->keys[k].name);
        }
        std::vector<std::string> keyNames{"missing"};
        if (s != nullptr && !s->keys.empty()) {
            keyNames.push_back(
                s->keys[in.ConsumeIntegralInRange<std::size_t>(0, s->keys.size() - 1)].name);
            keyNames.push_back(s->keys.back().name);
        }
        for (const std::string& keyName : keyNames) {
            const std::string asked = respelled(in, keyName);
            const std::optional<std::string> expected = model.value(sectionName, asked);
            const std::string got =
                profileString(sectionName.c_str(), asked.c_str(), "%41 dflt \t", kBuilt, path);
            FUZZ_CHECK(got == expected.value_or("%41 dflt"));
            const std::size_t small = in.ConsumeIntegralInRange<std::size_t>(0, 8);
            const std::string cut =
                profileString(sectionName.c_str(), asked.c_str(), "%41 dflt \t", small, path);
            FUZZ_CHECK(cut == got.substr(0, small == 0 ? 0 : small - 1));

            const bool trim = in.ConsumeBool();
            const std::string decoded = percentDecoded(got);
            FUZZ_CHECK(tools::getIniString(path, sectionName, asked, "%41 dflt \t", trim) ==
                       (trim ? trimmed(decoded) : decoded));
            FUZZ_CHECK(
                platform::getPrivateProfileInt(sectionName.c_str(), asked.c_str(), -7, path) ==
                (expected ? leadingNumber(*expected) : -7));
        }
    }
}

void raw(std::string_view text, const std::string& path, ScratchFile& file) {
    file.write(text);
    const std::size_t whole = text.size() + 2;  // room for any value or list of this file
    const bool hasZero = text.find('\0') != std::string_view::npos;
    const std::vector<std::string> sections =
        splitList(profileString(nullptr, nullptr, "", whole, path));
    std::vector<std::pair<std::string, std::string>> lookups{{"Config", "HostName"}};
    for (std::size_t s = 0; s < sections.size() && s < 4; ++s) {
        lookups.emplace_back(sections[s], "missing key");
        // A zero byte inside a name splits it in the list, so listed names name nothing then.
        for (const std::string& key :
             splitList(profileString(sections[s].c_str(), nullptr, "", whole, path))) {
            if (!hasZero && lookups.size() < 8) {
                // "\n" can be no value, so the default marks a key the lookup did not find.
                FUZZ_CHECK(profileString(sections[s].c_str(), key.c_str(), "\n", whole, path) !=
                           "\n");
            }
            lookups.emplace_back(sections[s], key);
        }
    }
    for (std::size_t i = 0; i < lookups.size() && i < 8; ++i) {
        const auto& [section, key] = lookups[i];
        std::string rawValue = profileString(section.c_str(), key.c_str(), "", whole, path);
        rawValue = rawValue.substr(0, rawValue.find('\0'));
        const std::string decoded = text::percentDecode(rawValue);
        FUZZ_CHECK(decoded.size() <= rawValue.size());
        FUZZ_CHECK(tools::getIniString(path, section, key, "", false) == decoded);
        const std::string trimmedValue = tools::getIniString(path, section, key, "", true);
        FUZZ_CHECK(trimmedValue == trimmed(decoded));
        (void)tools::getIniBool(path, section, key, false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchFile file;
    static const std::string path = file.write("");
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1U) == 0) {
        FuzzedDataProvider in(data + 1, size - 1);
        wellFormed(in, path, file);
    } else {
        raw(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), path, file);
    }
    return 0;
}
