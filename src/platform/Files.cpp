#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

void UniqueFd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Status UniqueFd::Close(const std::string& path) {
    if (fd_ < 0) return Status::Ok();
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? Status::Ok() : ErrnoStatus(Fail::Io, "cannot write " + path);
}

Result<std::string> ReadWholeFile(const std::string& path, Links links) {
    const int noFollow = links == Links::Refuse ? O_NOFOLLOW | O_NONBLOCK : 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | noFollow));
    if (!fd) {
        if (errno == ELOOP) return ErrnoStatus(Fail::Rejected, "will not read the link " + path);
        return ErrnoStatus(errno == ENOENT ? Fail::NotFound : Fail::Io, "cannot read " + path);
    }
    std::string out;
    struct stat st {};
    const bool regular = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    if (links == Links::Refuse && !regular)
        return Status::Error(Fail::Rejected, "will not read " + path + ": not a regular file");
    if (regular && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoStatus(Fail::Io, "cannot read " + path);
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

Status WriteAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoStatus(Fail::Io, "cannot write " + path);
        if (n == 0) return Status::Error(Fail::Io, "cannot write " + path + ": no progress");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
    const std::string dir = FolderOf(path);
    const std::size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot create a file in " + dir);
    Status st = ::fchmod(fd.get(), mode) == 0 ? Status::Ok()
                                              : ErrnoStatus(Fail::Io, "cannot set mode of " + tmp);
    if (st) st = WriteAll(fd.get(), data, path);
    // The data must be on disk before the name points at it, or a crash
    // could leave an empty file under the new name.
    if (st && ::fsync(fd.get()) != 0) st = ErrnoStatus(Fail::Io, "cannot write " + path);
    if (Status c = fd.Close(path); st && !c) st = c;
    if (st && ::rename(tmp.c_str(), path.c_str()) != 0)
        st = ErrnoStatus(Fail::Io, "cannot replace " + path);
    if (!st) {
        ::unlink(tmp.c_str());
        return st;
    }
    return FsyncFolder(dir);
}

void RemoveStaleCopies(const std::string& path) {
    const std::string dir = FolderOf(path);
    const std::size_t slash = path.rfind('/');
    const std::string prefix =
        "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    constexpr std::size_t kRandomPart = 6;  // mkostemp's XXXXXX
    for (const std::string& name : ListFiles(dir).value_or({}))
        if (name.size() == prefix.size() + kRandomPart && name.starts_with(prefix))
            ::unlink((dir + "/" + name).c_str());
}

Status FsyncFolder(const std::string& dir) {
    UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot open folder " + dir);
    if (::fsync(fd.get()) != 0) return ErrnoStatus(Fail::Io, "cannot sync folder " + dir);
    return Status::Ok();
}

void StartWriteBack(int fd) {
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status SyncFileSystem(const std::string& path) {
    UniqueFd fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot open " + path);
    // syncfs() reports the write errors of the whole file system since Linux
    // 5.8; a data error in one of our files shows here, not only in its fsync.
    if (::syncfs(fd.get()) != 0) return ErrnoStatus(Fail::Io, "cannot sync the disk of " + path);
    return Status::Ok();
}

UniqueFd OpenToOverwrite(const std::string& path, mode_t mode) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode));
}

Status CutAtOffset(int fd, const std::string& path) {
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(fd, end) != 0) return ErrnoStatus(Fail::Io, "cannot write " + path);
    return Status::Ok();
}

namespace {

std::string Hex16(std::uint64_t h) {
    char hex[17];
    for (int i = 15; i >= 0; --i, h >>= 4) hex[i] = "0123456789abcdef"[h & 15];
    hex[16] = '\0';
    return hex;
}

// The hash of digests in the earlier form: one lane fed eight bytes at a
// time. Kept only to recognise digests that earlier versions wrote.
class EarlierDigester {
  public:
    void Update(std::string_view data) {
        size_ += data.size();
        if (held_ > 0) {
            while (held_ < 8 && !data.empty()) {
                word_[held_++] = data.front();
                data.remove_prefix(1);
            }
            if (held_ < 8) return;
            Mix(Load(word_));
            held_ = 0;
        }
        while (data.size() >= 8) {
            Mix(Load(data.data()));
            data.remove_prefix(8);
        }
        for (char c : data) word_[held_++] = c;
    }
    std::string Final() const {
        std::uint64_t h = h_ ^ size_;
        for (std::size_t i = 0; i < held_; ++i)
            h = (h ^ static_cast<unsigned char>(word_[i])) * 0x100000001b3ULL;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return std::to_string(size_) + ":" + Hex16(h);
    }

  private:
    static std::uint64_t Load(const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    void Mix(std::uint64_t w) {
        h_ ^= w * 0xc2b2ae3d27d4eb4fULL;
        h_ = ((h_ << 31) | (h_ >> 33)) * 0x9e3779b185ebca87ULL;
    }
    std::uint64_t h_ = 0x27d4eb2f165667c5ULL;
    std::uint64_t size_ = 0;
    char word_[8] = {};
    std::size_t held_ = 0;
};

}  // namespace

struct FileDigester::State {
    XXH3_state_t* xxh = XXH3_createState();
    std::uint64_t size = 0;
    ~State() { XXH3_freeState(xxh); }
};

FileDigester::FileDigester() : state_(std::make_unique<State>()) {
    if (state_->xxh) XXH3_64bits_reset(state_->xxh);
}
FileDigester::~FileDigester() = default;

void FileDigester::Update(std::string_view data) {
    state_->size += data.size();
    if (state_->xxh) XXH3_64bits_update(state_->xxh, data.data(), data.size());
}

std::string FileDigester::Final() const {
    // Without its state (no memory for it) the digest matches no other.
    const std::uint64_t h = state_->xxh ? XXH3_64bits_digest(state_->xxh) : 0;
    return state_->xxh ? "xxh3:" + std::to_string(state_->size) + ":" + Hex16(h) : "";
}

DigestForm FormOf(std::string_view digest) {
    return digest.starts_with("xxh3:") ? DigestForm::Current : DigestForm::Earlier;
}

Result<std::string> FileDigest(const std::string& path, bool skipFirstLine, DigestForm form) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot read " + path);
    FileDigester current;
    EarlierDigester earlier;
    bool inFirstLine = skipFirstLine;
    static thread_local char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoStatus(Fail::Io, "cannot read " + path);
        if (n == 0) break;
        std::string_view chunk(buf, static_cast<std::size_t>(n));
        if (inFirstLine) {
            const std::size_t lf = chunk.find('\n');
            if (lf == std::string_view::npos) continue;
            chunk.remove_prefix(lf + 1);
            inFirstLine = false;
        }
        if (form == DigestForm::Current)
            current.Update(chunk);
        else
            earlier.Update(chunk);
    }
    const std::string digest = form == DigestForm::Current ? current.Final() : earlier.Final();
    if (digest.empty()) return Status::Error(Fail::Io, "no memory to take the digest of " + path);
    return digest;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status MakeFolders(const std::string& path, mode_t mode) {
    if (path.empty() || IsFolder(path)) return Status::Ok();
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const std::size_t slash = p.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        if (Status st = MakeFolders(p.substr(0, slash), mode); !st) return st;
    if (::mkdir(p.c_str(), mode) == 0 || (errno == EEXIST && IsFolder(p))) return Status::Ok();
    return ErrnoStatus(Fail::Io, "cannot create folder " + p);
}

namespace {
// Hands each entry of a folder but "." and ".." to `take` with the type
// readdir() reports (DT_UNKNOWN where the file system does not say).
template <typename Take>
Status EachEntry(const std::string& dir, Take take) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return ErrnoStatus(errno == ENOENT ? Fail::NotFound : Fail::Io, "cannot list " + dir);
    errno = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") take(n, e->d_type);
    }
    const int err = errno;
    ::closedir(d);
    if (err != 0) {
        errno = err;
        return ErrnoStatus(Fail::Io, "cannot list " + dir);
    }
    return Status::Ok();
}
}  // namespace

Result<std::vector<std::string>> ListFolder(const std::string& dir) {
    std::vector<std::string> names;
    if (Status st =
            EachEntry(dir, [&](std::string_view n, unsigned char) { names.emplace_back(n); });
        !st)
        return st;
    return names;
}

// The type from the listing saves a stat per file; only a file system that
// does not report types costs one.
Result<std::vector<std::string>> ListFiles(const std::string& dir) {
    std::vector<std::string> files;
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    Status st = EachEntry(dir, [&](std::string_view n, unsigned char type) {
        struct stat sb {};
        if (type == DT_REG ||
            (type == DT_UNKNOWN && ::lstat((prefix + std::string(n)).c_str(), &sb) == 0 &&
             S_ISREG(sb.st_mode)))
            files.emplace_back(n);
    });
    if (!st) return st;
    std::sort(files.begin(), files.end());
    return files;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace platform
