// The state's files on disk, kept to this user: directories created 0700, the file created 0600,
// and a file that is a link, not a regular file or another user's refused. Each throws StateError
// saying which file and why.
//
// Plain functions of the file system; safe from any thread, as the file system is.
#pragma once

#include <filesystem>
#include <string>

namespace host::state {

// Creates the missing directories of `directory`, each 0700.
void makePrivateDirectories(const std::filesystem::path& directory);

// Refuses `file` when it is a symbolic link, not a regular file or another user's; makes one of
// this user's 0600. A missing file passes.
void checkPrivate(const std::string& file);

// Creates `file` 0600 unless it exists, never through a link.
void createPrivate(const std::string& file);

}  // namespace host::state
