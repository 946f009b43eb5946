#include "platform/Process.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "platform/EventLoop.h"

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

Status StopSignals::Hold(EventLoop& loop) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return ErrnoStatus(Fail::Internal, "cannot hold SIGTERM");
    fd_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) {
        const Status st = ErrnoStatus(Fail::Internal, "cannot watch for SIGTERM");
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        return st;
    }
    const int fd = fd_.get();
    loop.SetStopSource(fd, [fd](std::string& why) {
        signalfd_siginfo info{};
        if (::read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return false;
        const char* abbrev = ::sigabbrev_np(static_cast<int>(info.ssi_signo));
        why = std::string("SIG") + (abbrev ? abbrev : "?");
        return true;
    });
    return Status::Ok();
}

}  // namespace platform
