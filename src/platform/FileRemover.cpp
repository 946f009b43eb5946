#include "platform/FileRemover.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/Uring.h"

namespace platform {
namespace {

// Deletions under way at once: enough to keep the workers busy while the
// caller converts the next messages, few enough that a wait for a free place
// is rare.
constexpr unsigned kDepth = 64;
// The kernel's workers for this ring. Taking the names out of one folder
// serialises on its lock, but freeing a file's blocks comes after, outside
// it: on a file system with online discard each waits for the disk, and
// eight of them at once keep its queue full (2 workers: 258 ms for the
// bench's 204 messages, 8: 245 ms).
constexpr unsigned kWorkers = 8;

}  // namespace

FileRemover::FileRemover(Mode mode) {
    if (mode != Mode::Background) return;
    ring_ = uring::Ring::Open(kDepth, IORING_OP_UNLINKAT);  // none here: at once
    if (!ring_) return;
    unsigned workers[2] = {kWorkers, kWorkers};
    (void)io_uring_register_iowq_max_workers(&ring_->ring, workers);  // a bound, not a need
}

FileRemover::~FileRemover() {
    Finish();
}

void FileRemover::Remove(const std::string& path) {
    io_uring_sqe* sqe = nullptr;
    if (ring_) {
        Reap(false);
        while (inFlight_ >= kDepth) Reap(true);
        sqe = io_uring_get_sqe(&ring_->ring);
    }
    if (!sqe) {
        (void)::unlink(path.c_str());
        return;
    }
    // The kernel copies the name when the entry is submitted, just below.
    io_uring_prep_unlinkat(sqe, AT_FDCWD, path.c_str(), 0);
    ++inFlight_;
    if (io_uring_submit(&ring_->ring) >= 1) return;
    // The kernel did not take the entry (it is short of memory, say). It
    // stays queued, naming a string that goes away, so the ring is given up
    // once the deletions under way end; this file and every later one are
    // deleted at once.
    --inFlight_;
    Finish();
    ring_.reset();
    (void)::unlink(path.c_str());
}

void FileRemover::Reap(bool wait) {
    while (ring_ && inFlight_ > 0) {
        io_uring_cqe* cqe = ring_->Next(wait);
        if (!cqe) return;
        io_uring_cqe_seen(&ring_->ring, cqe);
        --inFlight_;
        wait = false;  // one was waited for; the rest only if they are ready
    }
}

void FileRemover::Finish() {
    while (ring_ && inFlight_ > 0) Reap(true);
}

}  // namespace platform
