#include "walk/IsFileDir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace walk {

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
    DIR* d = ::opendir(dir.c_str());
    if (!d) return true;  // nothing listed, nothing to delete
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st {};
        if (::lstat((dir + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        names.push_back(n);
    }
    ::closedir(d);
    for (const auto& n : names)
        if (::unlink((dir + n).c_str()) != 0 && errno != ENOENT) return false;
    return true;
}

}  // namespace walk
