#include "platform/Process.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>

namespace platform {

Status KeepMemoryPrivate() {
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0)
        return ErrnoStatus(Fail::Internal, "cannot turn core dumps off");
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        return ErrnoStatus(Fail::Internal, "cannot make the process undumpable");
    return Status::Ok();
}

void IgnoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
