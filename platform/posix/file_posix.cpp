#include <sys/stat.h>

#include "platform/file.h"

namespace platform {

FileKind fileKind(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return FileKind::Missing;
    }
    if (S_ISREG(status.st_mode)) {
        return FileKind::Regular;
    }
    return S_ISDIR(status.st_mode) ? FileKind::Directory : FileKind::Other;
}

}  // namespace platform
