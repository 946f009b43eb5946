#pragma once
// The file-system helpers every subsystem uses. Each reports failure by its
// result, with the errno text and the path in the Status.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace platform {

// An owned file descriptor, closed when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset();
    // Closes now, reporting what close() says (a delayed write error shows here).
    Status Close(const std::string& path);

  private:
    int fd_ = -1;
};

// Whether a read may follow a symbolic link at the path: the user's own
// settings may be links (to a dotfiles folder, say); the program's own files
// never are, and a link planted among them must not lead a read elsewhere.
enum class Links { Follow, Refuse };

// The whole file; Fail::NotFound when it does not exist. With Links::Refuse
// a link, or anything but a regular file, is Fail::Rejected.
Result<std::string> ReadWholeFile(const std::string& path, Links links = Links::Follow);

// All of data, retrying short writes and EINTR; ENOSPC and EIO are failures.
Status WriteAll(int fd, std::string_view data, const std::string& path);

// Opens a file (created with `mode` when missing) to be written over from
// its start, without O_TRUNC: on ext4 a file truncated to nothing starts its
// write-back on close and the next truncation waits for it, which costs
// milliseconds per file on a busy disk. CutAtOffset then drops whatever of
// the old contents lies past what was written.
UniqueFd OpenToOverwrite(const std::string& path, mode_t mode = 0600);
Status CutAtOffset(int fd, const std::string& path);

// Replaces `path` with `data` so that a reader sees the old file or the new
// one, never a part: a hidden temp file beside it, written, fsynced, renamed
// over it, and the folder fsynced. A new file gets `mode`.
Status WriteFileAtomically(const std::string& path, std::string_view data, mode_t mode = 0600);

// Removes the hidden copies that WriteFileAtomically(path) leaves behind when
// a process is killed between creating and renaming them; they may hold what
// the file holds (a password). Only where no writer of the file can be busy.
void RemoveStaleCopies(const std::string& path);

// Makes a rename or a new name in `dir` survive a crash.
Status FsyncFolder(const std::string& dir);

// Starts writing the file's data to the disk and returns at once: by the time
// a SyncFileSystem comes, most of it is written. A hint only: it makes
// nothing durable and its failure is not reported.
void StartWriteBack(int fd);

// Makes everything written to the file system that holds `path` durable,
// data and names, on any Linux file system: one flush of the disk for any
// number of files, where a sync per file costs a flush each.
Status SyncFileSystem(const std::string& path);

// A digest of a file's content, cheap enough to take of every message:
// "xxh3:<length>:<16 hex digits>", its length and its 64-bit XXH3 hash. With
// skipFirstLine the bytes up to the first LF are left out. Only
// byte-identical contents share a digest (but for chance: about one in
// 2^64). Fails when the file cannot be read; a link is refused.
//
// Versions before it wrote digests of a slower hash, "<length>:<16 hex
// digits>", into journals, remembered lists and stored messages, where they
// may still be found: a file is compared with such a digest by taking its
// own in that form (DigestForm::Earlier).
enum class DigestForm { Current, Earlier };
DigestForm FormOf(std::string_view digest);
Result<std::string> FileDigest(const std::string& path, bool skipFirstLine = false,
                               DigestForm form = DigestForm::Current);

// The digest of FileDigest (current form), fed piece by piece: a file's
// digest is that of all its bytes fed in order, however they are cut.
class FileDigester {
  public:
    FileDigester();
    ~FileDigester();
    FileDigester(const FileDigester&) = delete;
    FileDigester& operator=(const FileDigester&) = delete;
    void Update(std::string_view data);
    std::string Final() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Creates the folder and its missing parents (0700 unless told otherwise); an
// existing folder is no error, an existing file of that name is.
Status MakeFolders(const std::string& path, mode_t mode = 0700);

bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);

// Names of the entries of a folder ("." and ".." left out), unsorted.
Result<std::vector<std::string>> ListFolder(const std::string& dir);

// The regular files of a folder, sorted by name: no folders, and no symlinks,
// which could point anywhere.
Result<std::vector<std::string>> ListFiles(const std::string& dir);

// "a/b/c.txt" -> "a/b"; a name without a folder -> ".".
std::string FolderOf(const std::string& path);

}  // namespace platform
