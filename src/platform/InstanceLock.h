#pragma once
// Only one voxafax-print per program folder: an exclusive, non-blocking flock
// on the folder's lock file, held for the life of the process.
#include <string>

#include "platform/Result.h"

namespace platform {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(InstanceLock&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    InstanceLock& operator=(InstanceLock&&) = delete;

    // Fail::Rejected when another process holds it. lockPath may name a
    // folder, which is then locked itself.
    static Result<InstanceLock> Acquire(const std::string& lockPath);

  private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace platform
