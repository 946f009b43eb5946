#include "walk/IsFileDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Files.h"

namespace walk {

bool KillAllFiles(const std::string& path) {
    std::string dir = path;
    if (dir.empty() || dir.back() != '/') dir += '/';
    auto names = platform::ListFolder(dir);
    if (!names) return true;  // nothing listed, nothing to delete
    for (const auto& n : *names) {
        struct stat st {};
        if (::lstat((dir + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        if (::unlink((dir + n).c_str()) != 0 && errno != ENOENT) return false;
    }
    return true;
}

}  // namespace walk
