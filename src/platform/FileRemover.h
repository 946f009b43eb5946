#pragma once
// Deletes files while the caller goes on working. Deleting a large file
// frees its page cache and its blocks, and on a file system mounted with
// online discard also waits for the disk: milliseconds each that the caller
// would otherwise spend idle. The deletions run in io_uring worker threads
// that the kernel attaches to the process; the program's own code stays on
// one thread, and counts finished deletions when it next hands in a file or
// when it waits for them all. Where the kernel offers no such workers (an
// old kernel, or a sandbox that forbids them), each file is deleted at once,
// as unlink() would.
//
// A deletion under way when the program is killed may still happen after it
// died: callers remove names that nothing can take again (a file renamed to
// a hidden name of its own first), never a name a later run may reuse.
#include <cstddef>
#include <memory>
#include <string>

namespace platform {
namespace uring {
class Ring;
}

class FileRemover {
  public:
    enum class Mode { Background, AtOnce };

    explicit FileRemover(Mode mode = Mode::Background);
    ~FileRemover();  // waits for every deletion, as Finish
    FileRemover(const FileRemover&) = delete;
    FileRemover& operator=(const FileRemover&) = delete;

    // Starts deleting `path`. A deletion that fails (the file is gone, or
    // the folder forbids it) leaves the file where it was, unreported:
    // callers delete only what they would sweep up later anyway.
    void Remove(const std::string& path);
    // Waits until every deletion handed in has ended.
    void Finish();
    // Whether deletions run in the background (false: each happened at once).
    bool Background() const { return ring_ != nullptr; }

  private:
    void Reap(bool wait);
    std::unique_ptr<uring::Ring> ring_;
    std::size_t inFlight_ = 0;
};

}  // namespace platform
