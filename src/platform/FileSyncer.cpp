#include "platform/FileSyncer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Uring.h"

namespace platform {
namespace {

// Entries of the submission ring; a larger group is submitted in parts.
constexpr unsigned kDepth = 128;

}  // namespace

FileSyncer::FileSyncer(Mode mode) : atOnce_(mode == Mode::AtOnce) {
    if (mode == Mode::Background) ring_ = uring::Ring::Open(kDepth, IORING_OP_FSYNC);
}

FileSyncer::~FileSyncer() {
    while (ring_ && !inFlight_.empty()) Reap(true);
}

FileSyncer::Ticket FileSyncer::Add(UniqueFd fd) {
    const Ticket t = next_++;
    if (atOnce_) {
        if (::fdatasync(fd.get()) != 0) failed_[t] = errno;
        return t;
    }
    if (!ring_) return 0;  // closed here: the caller's own sync covers it
    waiting_.emplace_back(t, std::move(fd));
    Reap(false);
    if (inFlight_.empty()) StartGroup();
    return t;
}

void FileSyncer::WaitAll() {
    while (ring_ && (!inFlight_.empty() || !waiting_.empty())) {
        while (ring_ && !inFlight_.empty()) Reap(true);
        if (ring_) StartGroup();
    }
}

bool FileSyncer::Done(Ticket t) {
    if (!ring_) return true;
    Reap(false);
    if (inFlight_.empty() && !waiting_.empty()) StartGroup();
    if (!ring_) return true;  // given up: the caller syncs its own way
    if (inFlight_.count(t)) return false;
    return std::none_of(waiting_.begin(), waiting_.end(),
                        [t](const auto& w) { return w.first == t; });
}

// Groups go in the order their files came: once no ticket up to t is under
// way or waiting, every one of them has ended.
void FileSyncer::WaitFor(Ticket t) {
    const auto pending = [this, t] {
        for (const auto& f : inFlight_)
            if (f.first <= t) return true;
        return !waiting_.empty() && waiting_.front().first <= t;
    };
    while (ring_ && pending()) {
        if (inFlight_.empty())
            StartGroup();
        else
            Reap(true);
    }
}

int FileSyncer::Error(Ticket t) const {
    const auto it = failed_.find(t);
    return it == failed_.end() ? 0 : it->second;
}

void FileSyncer::Forget(Ticket t) {
    failed_.erase(t);
}

void FileSyncer::StartGroup() {
    for (auto& [t, fd] : waiting_) {
        io_uring_sqe* sqe = io_uring_get_sqe(&ring_->ring);
        if (!sqe) {  // the ring is full: what it holds goes first
            if (io_uring_submit(&ring_->ring) < 0) return GiveUp();
            sqe = io_uring_get_sqe(&ring_->ring);
            if (!sqe) return GiveUp();
        }
        io_uring_prep_fsync(sqe, fd.get(), IORING_FSYNC_DATASYNC);
        io_uring_sqe_set_data64(sqe, t);
        inFlight_.emplace(t, std::move(fd));
    }
    waiting_.clear();
    if (io_uring_sq_ready(&ring_->ring) > 0 && io_uring_submit(&ring_->ring) < 0) GiveUp();
}

// The kernel did not take a group (it is short of memory, say). Its entries
// stay queued in the ring, so the ring is given up: the syncs under way end
// on their own, and Active() turns false, which makes the caller sync every
// file handed in its own way.
void FileSyncer::GiveUp() {
    ring_.reset();
    waiting_.clear();
    inFlight_.clear();
}

void FileSyncer::Reap(bool wait) {
    while (!inFlight_.empty()) {
        io_uring_cqe* cqe = ring_->Next(wait);
        if (!cqe) return;
        const Ticket t = io_uring_cqe_get_data64(cqe);
        if (cqe->res < 0) failed_[t] = -cqe->res;
        io_uring_cqe_seen(&ring_->ring, cqe);
        inFlight_.erase(t);  // closes the file
        wait = false;        // one was waited for; the rest only if they are ready
    }
}

}  // namespace platform
