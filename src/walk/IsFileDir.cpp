#include "walk/IsFileDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Files.h"

namespace vfmain {

bool DirExists(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (::mkdir(p.c_str(), 0700) == 0) {
        ::rmdir(p.c_str());
        return false;
    }
    if (errno != EEXIST) return false;
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

}  // namespace vfmain
