#pragma once
// What the background file operations (FileRemover, FileSyncer) share of
// io_uring: a ring that closes its kernel side when it goes, and its
// completions one at a time.
#include <liburing.h>

#include <memory>

namespace platform::uring {

class Ring {
  public:
    // A ring of `depth` entries for operations `opcode`; nullptr where the
    // kernel offers none (an old kernel, or a sandbox that forbids it).
    static std::unique_ptr<Ring> Open(unsigned depth, int opcode);
    Ring() = default;
    ~Ring() {
        if (open_) io_uring_queue_exit(&ring);
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // The next completion: one that is ready, or with `wait` the next to
    // come; nullptr when there is none. The caller marks it seen.
    io_uring_cqe* Next(bool wait);

    io_uring ring{};

  private:
    bool open_ = false;
};

}  // namespace platform::uring
