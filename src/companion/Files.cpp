#include "companion/Files.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace companion {

std::optional<int> RunningPid(const std::string& lockPath) {
    struct stat st {};
    if (::stat(lockPath.c_str(), &st) != 0) return std::nullopt;
    // /proc/locks names the locked file by device and inode: reading it tells
    // whether voxafax-print holds its instance lock without touching the lock,
    // so a scheduled start at this very moment is never turned away.
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream ls(line);
        std::string n, kind, adv, mode, pid, id;
        if (!(ls >> n >> kind)) continue;
        if (kind == "->") ls >> kind;  // a waiter's line
        if (!(ls >> adv >> mode >> pid >> id)) continue;
        if (kind == "FLOCK" && id == want) return std::atoi(pid.c_str());
    }
    return std::nullopt;
}

std::string ProfileUnreadable(const std::string& path, const platform::Status& why) {
    if (why.kind == platform::Fail::NotFound) return path + " is missing: run voxafax setup";
    std::string reason = why.detail;
    if (why.error == EACCES)
        reason = "this user may not read it (ls -l " + path +
                 "; a run as root may have left it "
                 "owned by root: chown it back)";
    return path + " is unreadable: " + reason +
           "; voxafax-print does not run on it, and nothing writes it until it can be read";
}

}  // namespace companion
