#include "stateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "stateStore.h"

namespace fs = std::filesystem;

namespace host::state {

// Creates the missing directories of `directory`, each readable by this user only: the state
// holds what the channels said and when, which is no one else's business.
void makePrivateDirectories(const std::filesystem::path& directory) {
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path p = directory; !p.empty() && !fs::exists(fs::symlink_status(p, error));
         p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    fs::path existing = missing.empty() ? directory : missing.back().parent_path();
    if (existing.empty()) {
        existing = ".";
    }
    if (!fs::is_directory(existing, error)) {
        throw StateError("Can't create the state directory: " + directory.string() + ": " +
                         std::strerror(ENOTDIR));
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            throw StateError("Can't create the state directory: " + it->string() + ": " +
                             std::strerror(errno));
        }
    }
}

// Refuses a file of the state that is a symbolic link, not a plain file, or another user's, and
// takes group and other access away from one of ours. A missing file is fine.
void checkPrivate(const std::string& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw StateError("Can't look at the state file " + file + ": " + std::strerror(errno));
    }
    if (S_ISLNK(info.st_mode)) {
        throw StateError("Refusing the state file " + file +
                         ": it is a symbolic link (whoever can write its directory could point "
                         "it anywhere); give the real path with --state");
    }
    if (!S_ISREG(info.st_mode)) {
        throw StateError("Refusing the state file " + file + ": it is not a regular file");
    }
    if (info.st_uid != ::geteuid()) {
        throw StateError("Refusing the state file " + file + ": it belongs to user " +
                         std::to_string(info.st_uid) + ", not to this one (" +
                         std::to_string(::geteuid()) +
                         "); another user's file is not taken as this gateway's state");
    }
    if ((info.st_mode & 077) != 0 && ::chmod(file.c_str(), 0600) != 0) {
        throw StateError("Can't make the state file private: " + file + ": " +
                         std::strerror(errno));
    }
}

// Creates the state file readable and writable by this user only; SQLite gives its journal,
// write-ahead log and shared-memory files the mode of the database file.
void createPrivate(const std::string& file) {
    const int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != EEXIST) {
        throw StateError("Can't create the state file: " + file + ": " + std::strerror(errno));
    }
}

}  // namespace host::state
