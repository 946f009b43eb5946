#include "platform/Uring.h"

#include <cerrno>

namespace platform::uring {

std::unique_ptr<Ring> Ring::Open(unsigned depth, int opcode) {
    auto r = std::make_unique<Ring>();
    r->open_ = io_uring_queue_init(depth, &r->ring, 0) == 0;
    if (!r->open_) return nullptr;
    io_uring_probe* probe = io_uring_get_probe_ring(&r->ring);
    const bool able = probe && io_uring_opcode_supported(probe, opcode);
    if (probe) io_uring_free_probe(probe);
    return able ? std::move(r) : nullptr;
}

io_uring_cqe* Ring::Next(bool wait) {
    io_uring_cqe* cqe = nullptr;
    int rc = io_uring_peek_cqe(&ring, &cqe);
    if (rc != 0 && wait) {
        do rc = io_uring_wait_cqe(&ring, &cqe);
        while (rc == -EINTR);
    }
    return rc == 0 ? cqe : nullptr;
}

}  // namespace platform::uring
