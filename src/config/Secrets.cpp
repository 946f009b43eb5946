#include "config/Secrets.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/EventLoop.h"
#include "platform/Files.h"

extern char** environ;

namespace config {
namespace {

using platform::Fail;
using platform::Status;

// A password or token is a line; more than this is not one.
constexpr std::size_t kMaxSecret = 64 * 1024;

// The first line of `text`, without its line end.
std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

// A child of ours that prints a secret on its standard output.
struct Child {
    pid_t pid = -1;
    platform::UniqueFd out;     // its standard output
    platform::UniqueFd exited;  // readable once it has ended (pidfd)
};

platform::Result<Child> Start(const std::string& command) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return platform::ErrnoStatus(Fail::Io, "cannot make a pipe");
    platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, writeEnd.get(), 1);
    // Its own process group, so that a command that does not end in time
    // is stopped with everything it started.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The signals the run holds for itself (SIGTERM, ...) end the command as
    // usual.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    std::string sh = "/bin/sh", dashC = "-c", cmd = command;
    char* argv[] = {sh.data(), dashC.data(), cmd.data(), nullptr};
    Child child;
    const int rc = ::posix_spawn(&child.pid, "/bin/sh", &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return Status{Fail::Io, std::string("cannot start /bin/sh: ") + std::strerror(rc), rc};
    child.out = std::move(readEnd);
    child.exited = platform::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
    return child;
}

// Collects the child's output until it has closed it and ended, or until
// `limit` has passed (then it is killed). Its exit status, or -1 when it was
// killed or did not end normally.
int Collect(platform::EventLoop& loop, Child& child, platform::Millis limit, std::string& out,
            bool& timedOut) {
    bool eof = false, ended = !child.exited;  // without a pidfd: wait after EOF
    timedOut = false;
    const platform::WatchId outWatch = loop.Watch(child.out.get(), POLLIN, [&](short) {
        char buf[4096];
        const ssize_t n = ::read(child.out.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0 || out.size() > kMaxSecret) {
            eof = true;
            return;
        }
        out.append(buf, static_cast<std::size_t>(n));
    });
    platform::WatchId exitWatch = 0;
    if (child.exited)
        exitWatch = loop.Watch(child.exited.get(), POLLIN, [&](short) { ended = true; });
    const platform::TimerId deadline = loop.After(limit, [&] { timedOut = true; });
    while (!(eof && ended) && !timedOut) {
        loop.RunOnce(true);
        if (eof) loop.Modify(outWatch, 0);
        if (ended && exitWatch) loop.Modify(exitWatch, 0);
    }
    loop.Cancel(deadline);
    loop.Unwatch(outWatch);
    if (exitWatch) loop.Unwatch(exitWatch);
    if (timedOut) ::kill(-child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

void KeepSecretsOutOfCoreFiles() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

Secrets::Secrets(platform::EventLoop& loop, std::string optionsPath, platform::Millis commandLimit)
    : loop_(loop), optionsPath_(std::move(optionsPath)), commandLimit_(commandLimit) {}

std::string Secrets::Where(const SecretSource& source, const char* key) const {
    return "[" + source.section + "] " + key + " in " + optionsPath_;
}

platform::Result<std::string> Secrets::Password(const SecretSource& source,
                                                const std::string& profilePassword) {
    if (!source.Set()) return profilePassword;
    if (auto known = fetched_.find(source.section); known != fetched_.end()) return known->second;
    KeepSecretsOutOfCoreFiles();
    auto got = source.command.empty() ? FromFile(source) : FromCommand(source);
    if (got) fetched_[source.section] = *got;
    return got;
}

platform::Result<std::string> Secrets::FromFile(const SecretSource& source) {
    const std::string where = Where(source, "password_file");
    platform::UniqueFd fd(::open(source.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return Status{Fail::NotFound,
                      where + ": cannot open " + source.file + ": " + std::strerror(errno), errno};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Status::Error(Fail::Format, where + ": " + source.file + " is not a regular file");
    // Anyone else who can read or change it has the password too.
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return Status::Error(Fail::Rejected,
                             where + ": " + source.file + " must be yours alone; chmod 600 it");
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status{Fail::Io, where + ": cannot read " + source.file, errno};
        if (n == 0 || text.size() > kMaxSecret) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    std::string line = FirstLine(text);
    if (line.empty())
        return Status::Error(Fail::Format,
                             where + ": the first line of " + source.file + " is empty");
    return line;
}

platform::Result<std::string> Secrets::FromCommand(const SecretSource& source) {
    const std::string where = Where(source, "password_command");
    auto child = Start(source.command);
    if (!child) return Status::Error(child.status().kind, where + ": " + child.status().detail);
    std::string out;
    bool timedOut = false;
    const int status = Collect(loop_, *child, commandLimit_, out, timedOut);
    if (timedOut)
        return Status::Error(Fail::TimedOut, where + ": the command did not end within " +
                                                 std::to_string(commandLimit_.count() / 1000) +
                                                 " s and was stopped");
    if (status != 0)
        return Status::Error(
            Fail::Rejected,
            where + (status < 0 ? ": the command did not end normally"
                                : ": the command ended with status " + std::to_string(status)));
    std::string line = FirstLine(out);
    if (line.empty())
        return Status::Error(Fail::Format, where + ": the command printed no password");
    return line;
}

}  // namespace config
