#include "pop/PopStaging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace pop {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The staged messages, in name order; the marker and the list are not ".TXT".
std::vector<std::string> StagedFiles(const std::string& dir) {
    std::vector<std::string> names;
    for (std::string& n : platform::ListFolder(dir).value_or({}))
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".TXT") == 0) names.push_back(std::move(n));
    std::sort(names.begin(), names.end());
    return names;
}

// Size and FNV-1a digest of a file, read in blocks: identifies a message
// downloaded again byte for byte.
std::string FileDigest(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::uint64_t h = 1469598103934665603ULL;
    std::uint64_t size = 0;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            h ^= static_cast<unsigned char>(buf[i]);
            h *= 1099511628211ULL;
        }
        size += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return std::to_string(size) + ":" + std::to_string(h);
}

}  // namespace

PopStaging::PopStaging(std::string inDir) : inDir_(std::move(inDir)), dir_(inDir_ + ".pop/") {}

void PopStaging::Open() {
    ::mkdir(dir_.c_str(), 0700);
    Settle();
}

std::string PopStaging::FileFor(int number) const {
    return dir_ + std::to_string(number) + ".TXT";
}

void PopStaging::Downloaded(const std::string& path) const {
    if (ListedAsUncertain(FileDigest(path))) ::unlink(path.c_str());
}

bool PopStaging::MarkQuitSent() const {
    int fd = ::open(Marker().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    (void)platform::FsyncFolder(dir_);
    return ok;
}

void PopStaging::QuitConfirmed() const {
    Promote(/*certain=*/true);
    ::unlink(UncertainList().c_str());
}

// Staged files reach In/ once QUIT was sent (whatever its answer: the server
// may have deleted them); otherwise the server still holds them.
void PopStaging::Settle() const {
    if (Exists(Marker()))
        Promote(/*certain=*/false);
    else
        Drop();
}

// Moves the staged messages into In/ without replacing a file there. When it
// is not known whether the server carried out QUIT, each message is listed
// first: should the server still hold it, the next session knows the copy it
// downloads again and does not deliver it twice.
void PopStaging::Promote(bool certain) const {
    const std::string uncertain = UncertainList();
    const auto names = StagedFiles(dir_);
    if (!certain && !names.empty()) {
        std::ofstream list(uncertain, std::ios::app);
        for (const auto& name : names) list << FileDigest(dir_ + name) << "\n";
        list.flush();
        list.close();
        int fd = ::open(uncertain.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            (void)::fsync(fd);
            ::close(fd);
        }
    }
    for (const auto& name : names) {
        const std::string stem = name.substr(0, name.size() - 4);
        std::string target = inDir_ + name;
        for (int k = 2; Exists(target) && k < 10000; ++k)
            target = inDir_ + stem + "-" + std::to_string(k) + ".TXT";
        if (::link((dir_ + name).c_str(), target.c_str()) == 0) ::unlink((dir_ + name).c_str());
    }
    (void)platform::FsyncFolder(inDir_);
    ::unlink(Marker().c_str());
    (void)platform::FsyncFolder(dir_);
}

void PopStaging::Drop() const {
    for (const auto& name : StagedFiles(dir_)) ::unlink((dir_ + name).c_str());
}

bool PopStaging::ListedAsUncertain(const std::string& digest) const {
    if (digest.empty()) return false;
    std::string line;
    std::ifstream in(UncertainList());
    while (std::getline(in, line))
        if (line == digest) return true;
    return false;
}

}  // namespace pop
