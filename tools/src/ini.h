// Typed reading of INI settings. Nothing is cached: every call reads the file afresh, so an edited
// setting takes effect at its next use. Safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace tools {

// The value of `key` in `section`, or `defaultValue` when the file, section or key is missing;
// either is percent-decoded (text::percentDecode: %XX with two hex digits becomes one byte, any
// other '%' stays) and, with `trim`, stripped of surrounding whitespace. A value of any length is
// returned whole.
std::string getIniString(const std::string& path, const std::string& section,
                         const std::string& key, const std::string& defaultValue, bool trim);

// The names of the file's sections in file order, as the profile reader lists them (same-named
// sections each once per header, no empty names); empty when the file is missing. A list of any
// length is returned whole.
std::vector<std::string> getIniSectionNames(const std::string& path);

// True exactly when the value begins with a non-zero decimal number; `defaultValue` when the key
// is missing. No decoding or trimming.
bool getIniBool(const std::string& path, const std::string& section, const std::string& key,
                bool defaultValue);

}  // namespace tools
