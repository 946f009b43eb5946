#include "companion/web/Jobs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Log.h"
#include "platform/Process.h"

extern char** environ;

namespace web {
namespace {

// How often a child is looked for when the kernel has no process
// descriptors to watch (before Linux 5.3).
constexpr platform::Millis kReapEvery{250};

}  // namespace

int ExitStatusOf(int wstatus) {
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 127;
}

Jobs::Jobs(platform::EventLoop& loop) : loop_(loop) {}

Jobs::~Jobs() {
    if (outWatch_) loop_.Unwatch(outWatch_);
    if (pidWatch_) loop_.Unwatch(pidWatch_);
    if (reapTimer_) loop_.Cancel(reapTimer_);
    // A job outlives the server: a run or a print half done is not cut
    // short because the page went away; init reaps it.
}

std::string Jobs::Start(std::string kind, std::string title, const std::vector<std::string>& argv) {
    if (Busy()) return "\"" + job_->title + "\" is still going; wait until it has ended";
    if (argv.empty()) return "nothing to start";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("cannot make a pipe: ") + strerror(errno);
    platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, writeEnd.get(), STDERR_FILENO);
    // The child starts with the signals the server ignores or blocks (it
    // takes them through its loop) set back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t dflt, none;
    sigemptyset(&dflt);
    sigaddset(&dflt, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &dflt);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return "cannot start " + argv[0] + ": " + std::strerror(rc);

    writeEnd.Reset();
    ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
    if (outWatch_) loop_.Unwatch(outWatch_);
    out_ = std::move(readEnd);
    partial_.clear();
    job_ = Job{};
    job_->kind = std::move(kind);
    job_->title = std::move(title);
    job_->pid = pid;
    job_->running = true;
    job_->started = loop_.clock().Now();
    outWatch_ = loop_.Watch(out_.get(), POLLIN, [this](short) { ReadOutput(); });
    pidfd_ = platform::OpenProcessFd(pid);
    if (pidfd_)
        pidWatch_ = loop_.Watch(pidfd_.get(), POLLIN, [this](short) { Reap(); });
    else
        reapTimer_ = loop_.After(kReapEvery, [this] { Reap(); });
    return {};
}

void Jobs::AddText(std::string_view text) {
    partial_.append(text);
    std::size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        job_->lines.push_back(platform::Log::Clean(std::string_view(partial_).substr(0, nl)));
        partial_.erase(0, nl + 1);
        if (job_->lines.size() > kMaxLines) {
            job_->lines.pop_front();
            ++job_->firstLine;
        }
    }
}

void Jobs::ReadOutput() {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(out_.get(), buf, sizeof buf);
        if (n > 0) {
            AddText(std::string_view(buf, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // Its end: the child and whatever it started have closed it.
        loop_.Unwatch(outWatch_);
        outWatch_ = 0;
        out_.Reset();
        return;
    }
}

void Jobs::Reap() {
    reapTimer_ = 0;
    int wstatus = 0;
    const pid_t r = ::waitpid(job_->pid, &wstatus, WNOHANG);
    if (r == 0) {
        if (!pidfd_) reapTimer_ = loop_.After(kReapEvery, [this] { Reap(); });
        return;
    }
    Finish(r == job_->pid ? wstatus : 127 << 8);
}

void Jobs::Finish(int wstatus) {
    if (pidWatch_) loop_.Unwatch(pidWatch_);
    pidWatch_ = 0;
    pidfd_.Reset();
    if (out_) ReadOutput();  // what it wrote just before it ended
    if (!partial_.empty()) AddText("\n");
    job_->running = false;
    job_->exitStatus = ExitStatusOf(wstatus);
    job_->ended = loop_.clock().Now();
    if (onEnd) onEnd(*job_);
}

}  // namespace web
