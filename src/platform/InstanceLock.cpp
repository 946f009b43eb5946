#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

Result<InstanceLock> InstanceLock::Acquire(const std::string& lockPath) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // A folder is locked as it is (a mail store's), with nothing written in it.
    if (fd < 0 && errno == EISDIR)
        fd = ::open(lockPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(Fail::Io, "cannot open " + lockPath);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return Status::Error(Fail::Rejected, "another voxafax-print is running");
        errno = err;
        return ErrnoStatus(Fail::Io, "cannot lock " + lockPath);
    }
    return InstanceLock(fd);
}

}  // namespace platform
