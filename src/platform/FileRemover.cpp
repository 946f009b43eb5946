#include "platform/FileRemover.h"

#include <fcntl.h>
#include <liburing.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {
namespace {

// Deletions under way at once: enough to keep the workers busy while the
// caller converts the next messages, few enough that a wait for a free place
// is rare.
constexpr unsigned kDepth = 64;
// The kernel's workers for this ring. Deletions in one folder serialise on
// its lock, so more would only queue there.
constexpr unsigned kWorkers = 2;

int UnlinkNow(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace

struct FileRemover::Ring {
    io_uring ring{};
};

FileRemover::FileRemover(Mode mode) {
    if (mode != Mode::Background) return;
    auto r = std::make_unique<Ring>();
    if (io_uring_queue_init(kDepth, &r->ring, 0) != 0) return;  // none here: at once
    io_uring_probe* probe = io_uring_get_probe_ring(&r->ring);
    const bool able = probe && io_uring_opcode_supported(probe, IORING_OP_UNLINKAT);
    if (probe) io_uring_free_probe(probe);
    if (!able) {
        io_uring_queue_exit(&r->ring);
        return;
    }
    unsigned workers[2] = {kWorkers, kWorkers};
    (void)io_uring_register_iowq_max_workers(&r->ring, workers);  // a bound, not a need
    ring_ = std::move(r);
}

FileRemover::~FileRemover() {
    Finish();
    if (ring_) io_uring_queue_exit(&ring_->ring);
}

void FileRemover::Remove(const std::string& path, Done done) {
    io_uring_sqe* sqe = nullptr;
    if (ring_) {
        Reap(false);
        while (inFlight_ >= kDepth) Reap(true);
        sqe = io_uring_get_sqe(&ring_->ring);
    }
    if (!sqe) {
        done(UnlinkNow(path));
        return;
    }
    const std::uint64_t slot = Take(Slot{path, std::move(done)});
    // The kernel copies the name when the entry is submitted, in Submit.
    io_uring_prep_unlinkat(sqe, AT_FDCWD, slots_[slot].path.c_str(), 0);
    io_uring_sqe_set_data(sqe, reinterpret_cast<void*>(static_cast<std::uintptr_t>(slot)));
    Submit(slot);
}

std::uint64_t FileRemover::Take(Slot slot) {
    if (free_.empty()) {
        slots_.push_back(std::move(slot));
        return slots_.size() - 1;
    }
    const std::uint64_t at = free_.back();
    free_.pop_back();
    slots_[at] = std::move(slot);
    return at;
}

void FileRemover::Submit(std::uint64_t slot) {
    ++inFlight_;
    if (io_uring_submit(&ring_->ring) >= 1) return;
    // The kernel did not take the entry (it is short of memory, say). It
    // stays queued, so the ring is given up once the deletions under way
    // end, and this file and every later one are deleted at once.
    --inFlight_;
    Finish();
    io_uring_queue_exit(&ring_->ring);
    ring_.reset();
    Complete(slot, UnlinkNow(slots_[slot].path));
}

void FileRemover::Reap(bool wait) {
    while (ring_ && inFlight_ > 0) {
        io_uring_cqe* cqe = nullptr;
        int rc = io_uring_peek_cqe(&ring_->ring, &cqe);
        if (rc != 0 && wait) {
            do rc = io_uring_wait_cqe(&ring_->ring, &cqe);
            while (rc == -EINTR);
        }
        if (rc != 0 || !cqe) return;
        const auto slot = static_cast<std::uint64_t>(
            reinterpret_cast<std::uintptr_t>(io_uring_cqe_get_data(cqe)));
        const int res = cqe->res;
        io_uring_cqe_seen(&ring_->ring, cqe);
        --inFlight_;
        Complete(slot, res < 0 ? -res : 0);
        wait = false;  // one was waited for; the rest only if they are ready
    }
}

void FileRemover::Complete(std::uint64_t slot, int err) {
    Done done = std::move(slots_[slot].done);
    slots_[slot] = Slot{};
    free_.push_back(slot);
    if (done) done(err);
}

void FileRemover::Finish() {
    while (ring_ && inFlight_ > 0) Reap(true);
}

}  // namespace platform
