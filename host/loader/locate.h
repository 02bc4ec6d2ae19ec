// Where the host looks for its defaults: the plug-in library and the bundled example's INI file,
// first in the installed layout next to the running program, then in the build tree.
// Plain functions without shared state; safe from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace host {

// The directory of the running program (empty when it cannot be told).
std::filesystem::path programDirectory();

// Candidates in search order, for a program in `programDir`.
std::vector<std::filesystem::path> defaultPluginCandidates(const std::filesystem::path& programDir);
std::vector<std::filesystem::path> defaultConfigCandidates(const std::filesystem::path& programDir);

// The first candidate that is a regular file; throws HostError(`exitCode`) naming every candidate
// and `option` when there is none.
std::filesystem::path firstExisting(const std::vector<std::filesystem::path>& candidates,
                                    const std::string& what, const std::string& option,
                                    int exitCode);

}  // namespace host
