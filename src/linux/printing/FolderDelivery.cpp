#include "linux/printing/FolderDelivery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <set>

#include "platform/Files.h"

namespace platform {

namespace {

constexpr std::string_view kHeldSuffix = ".held";

Status CopyFile(const std::string& from, int toFd) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return ErrnoStatus(Fail::Io, "Cannot read " + from);
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoStatus(Fail::Io, "Cannot read " + from);
        if (n == 0) return Status::Ok();
        if (!WriteAll(toFd, std::string_view(buf, static_cast<std::size_t>(n)), from))
            return ErrnoStatus(Fail::Io, "Cannot write the printed document");
    }
}

Status SyncPath(const std::string& path, int flags, const std::string& what) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) return ErrnoStatus(Fail::Io, "cannot sync " + what);
    return Status::Ok();
}

// A synced copy of the file in dir under a hidden name.
Result<std::string> CopyInto(const std::string& dir, const std::string& path) {
    std::string part = dir + "/.voxafax-XXXXXX.part";
    std::vector<char> name(part.begin(), part.end());
    name.push_back('\0');
    UniqueFd fd(::mkstemps(name.data(), 5));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot write to " + dir);
    part = name.data();
    Status st = CopyFile(path, fd.get());
    if (st && ::fsync(fd.get()) != 0) st = ErrnoStatus(Fail::Io, "cannot write to " + dir);
    if (Status c = fd.Close(part); st && !c) st = c;
    if (!st) {
        ::unlink(part.c_str());
        return st;
    }
    return part;
}

}  // namespace

Status FolderDelivery::Deliver(const std::string& dir, const std::string& pdfPath,
                               const std::string& key, std::string& final) {
    // The one fsync of a printed PDF, before it gets its name: the walk
    // records the fax as printed as soon as this returns.
    Status st = SyncPath(pdfPath, O_RDONLY, pdfPath);
    // The document's own file takes its name in the folder: no copy, and no
    // second file made and removed for every fax.
    if (st) st = NameInFolder(pdfPath, dir, key, final);
    if (!st && st.error == EXDEV) {
        // Another file system: a copy beside the folder's files does.
        Result<std::string> part = CopyInto(dir, pdfPath);
        st = part ? NameInFolder(*part, dir, key, final) : part.status();
        if (part) ::unlink(part->c_str());
    }
    return st;
}

Status FolderDelivery::Keep(const std::string& dir, const std::string& pdfPath,
                            const std::string& key) {
    const std::string hidden = dir + "/" + HiddenPrefix(tag_) + key + std::string(kHeldSuffix);
    // One left by a run that died is this walk's to replace: its fax was
    // not recorded, or Recover would have named it.
    ::unlink(hidden.c_str());
    UniqueFd fd;
    if (::link(pdfPath.c_str(), hidden.c_str()) == 0) {
        fd = UniqueFd(::open(hidden.c_str(), O_RDONLY | O_CLOEXEC));
    } else if (errno == EXDEV) {
        fd = UniqueFd(
            ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd) {
            if (Status st = CopyFile(pdfPath, fd.get()); !st) {
                ::unlink(hidden.c_str());
                return st;
            }
        }
    }
    if (!fd) return ErrnoStatus(Fail::Io, "cannot write to " + dir);
    // Write-back starts now, while the walk prints the next fax: the batch's
    // syncs then wait for little, and share their journal commits.
    (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    held_.push_back(Held{dir, hidden, key});
    return Status::Ok();
}

Status FolderDelivery::SyncHeld() {
    std::set<std::string> dirs;
    for (const Held& h : held_) {
        if (Status st = SyncPath(h.path, O_RDONLY, h.path); !st) return st;
        dirs.insert(h.dir);
    }
    // The hidden names too: the walk's record of a printed fax may reach the
    // disk only once its document can be found there.
    for (const std::string& dir : dirs)
        if (Status st = SyncPath(dir, O_RDONLY | O_DIRECTORY, dir); !st) return st;
    return Status::Ok();
}

Status FolderDelivery::NameHeld() {
    std::set<std::string> dirs;
    Status result;  // the first failure; the files after it are not tried
    std::vector<Held> left;
    for (Held& h : held_) {
        std::string final;
        if (result) result = NameInFolder(h.path, h.dir, h.key, final);
        if (result) {
            ::unlink(h.path.c_str());
            dirs.insert(h.dir);
        } else {
            left.push_back(std::move(h));
        }
    }
    held_ = std::move(left);
    // The names on disk before the faxes are filed: a filed fax is never
    // looked at again.
    for (const std::string& dir : dirs)
        if (Status st = SyncPath(dir, O_RDONLY | O_DIRECTORY, dir); !st && result) result = st;
    return result;
}

Status FolderDelivery::Recover(const std::string& dir, const std::string& tag,
                               const std::function<bool(const std::string& key)>& printed) {
    const Result<std::vector<std::string>> names = ListFolder(dir);
    if (!names) return names.status().kind == Fail::NotFound ? Status::Ok() : names.status();
    const std::string prefix = HiddenPrefix(tag);
    bool changed = false;
    for (const std::string& name : *names) {
        if (name.size() <= prefix.size() + kHeldSuffix.size() || name.rfind(prefix, 0) != 0 ||
            !name.ends_with(kHeldSuffix))
            continue;
        const std::string key =
            name.substr(prefix.size(), name.size() - prefix.size() - kHeldSuffix.size());
        const std::string path = dir + "/" + name;
        std::string final;
        if (printed(key)) {
            if (Status st = NameInFolder(path, dir, key, final); !st) return st;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return ErrnoStatus(Fail::Io, "cannot remove " + path);
        changed = true;
    }
    return changed ? SyncPath(dir, O_RDONLY | O_DIRECTORY, dir) : Status::Ok();
}

// Links the file into dir under the next name in printing order. The
// number is counted here rather than found by listing the folder, which
// grows with every fax and made each print slower than the one before.
// EXDEV in the Status's error when dir lies on another file system.
Status FolderDelivery::NameInFolder(const std::string& file, const std::string& dir,
                                    const std::string& key, std::string& final) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S-", &tm);
    if (stamp != seqPrefix_) {
        seqPrefix_ = stamp;
        seq_ = 0;
    }
    for (int tries = 0; tries < 1000; ++tries) {
        char seqText[24];
        std::snprintf(seqText, sizeof seqText, "%06ld", ++seq_);
        final = dir + "/" + seqPrefix_ + seqText + (key.empty() ? "" : "-" + key) + ".pdf";
        // link() never replaces an existing file, so two runs cannot clash:
        // a name another run took in this second is skipped.
        if (::link(file.c_str(), final.c_str()) == 0) return Status::Ok();
        if (errno != EEXIST) {
            final.clear();
            return ErrnoStatus(Fail::Io, "cannot write to " + dir);
        }
    }
    final.clear();
    return Status::Error(Fail::Io, "no free file name in " + dir);
}

}  // namespace platform
