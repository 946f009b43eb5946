#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string_view>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

extern char** environ;

namespace companion {
namespace {

using Clock = std::chrono::steady_clock;

bool Executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// A descriptor that polls readable when the process ends, so the watch loop
// wakes at once on exit instead of at its next poll of the profile file.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

struct Snapshot {
    std::string text;
    std::string status;  // print_status
    std::string state;   // VFPrint
    std::string lastError;
    std::string session;
};

Snapshot Read(const std::string& profilePath) {
    Snapshot s;
    s.text = platform::ReadWholeFile(profilePath).value_or("");
    s.status = platform::ini::Lookup(s.text, kSection, "print_status").value_or("");
    s.state = platform::ini::Lookup(s.text, kSection, "VFPrint").value_or("");
    s.lastError = platform::ini::Lookup(s.text, kSection, "last_error").value_or("");
    s.session = platform::ini::Lookup(s.text, kSection, "session").value_or("");
    return s;
}

}  // namespace

const std::vector<RunMode>& RunModes() {
    static const std::vector<RunMode> modes = {
        {"now", "/0", "fetch, print, answer and file the new faxes"},
        {"test", "/2", "send the test message to the service"},
        {"print-test", "/7", "as now, but leave every message in the inbox"},
        {"regular", "/1", "print the regular faxes of the regular-fax profile only"},
        {"mail", "/5", "only fetch regular e-mail into the regular mail profile"},
    };
    return modes;
}

std::optional<RunMode> FindRunMode(const std::string& name) {
    for (const RunMode& m : RunModes())
        if (m.name == name) return m;
    return std::nullopt;
}

std::string FindPrintProgram() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string beside = platform::FolderOf(self) + "/voxafax-print";
        if (Executable(beside)) return beside;
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (;;) {
        std::size_t colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        // An empty entry of PATH means the current folder.
        std::string candidate =
            (dir.empty() ? std::string(".") : std::string(dir)) + "/voxafax-print";
        if (Executable(candidate)) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return {};
}

int CmdRun(const platform::Environment& env, const RunMode& mode, const RunSettings& settings,
           std::ostream& out, std::ostream& err) {
    if (auto pid = RunningPid(env.programFolder + "/voxafax-print.lock")) {
        err << "voxafax run: voxafax-print is already running (process " << *pid
            << "); watch it with voxafax status\n";
        return kRunDied;
    }
    const Snapshot before = Read(env.profilePath);

    // Status lines can follow each other faster than the poll interval:
    // waking on every change of the profile's folder catches most of them.
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 &&
        ::inotify_add_watch(watch, env.configDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        ::close(watch);
        watch = -1;
    }
    std::string sw = mode.sw;
    std::string prog = settings.program;
    char* argv[] = {prog.data(), sw.data(), nullptr};
    pid_t pid = -1;
    out << "Starting " << prog << " " << sw << "\n" << std::flush;
    if (int rc = ::posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv, environ); rc != 0) {
        err << "voxafax run: cannot start " << prog << ": " << std::strerror(rc) << "\n";
        if (watch >= 0) ::close(watch);
        return kRunDied;
    }
    int pidfd = OpenPidFd(pid);  // poll() skips a negative descriptor

    std::string shown = before.status;
    bool sawRunning = false;
    bool exited = false;
    int wstatus = 0;
    std::optional<Clock::time_point> quitAt;
    auto showNew = [&](const Snapshot& s) {
        if (s.text != before.text && s.status != shown) {
            out << "  " << platform::Trim(s.status, " \t") << "\n" << std::flush;
            shown = s.status;
        }
    };
    for (;;) {
        pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            exited = true;
            break;
        }
        Snapshot now = Read(env.profilePath);
        showNew(now);
        if (now.state == "running") sawRunning = true;
        if (sawRunning && now.state == "quit" && !quitAt) quitAt = Clock::now();
        if (quitAt && Clock::now() - *quitAt >= settings.quitGrace) break;
        // Sleep until the process ends, the profile's folder changes (every
        // write renames a new file in) or the poll interval has passed.
        pollfd pfds[2] = {{pidfd, POLLIN, 0}, {watch, POLLIN, 0}};
        ::poll(pfds, 2, static_cast<int>(settings.pollInterval.count()));
        if (pfds[1].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            while (::read(watch, buf, sizeof buf) > 0) {
            }
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    if (watch >= 0) ::close(watch);

    const Snapshot after = Read(env.profilePath);
    showNew(after);
    if (exited && WIFSIGNALED(wstatus)) {
        int sig = WTERMSIG(wstatus);
        err << "voxafax run: voxafax-print was killed by signal " << sig << " (" << ::strsignal(sig)
            << "); its last status: " << platform::Trim(after.status, " \t") << "\n";
        return kRunDied;
    }
    if (exited && WIFEXITED(wstatus) && WEXITSTATUS(wstatus) != 0) {
        err << "voxafax run: voxafax-print failed with exit status " << WEXITSTATUS(wstatus)
            << "\n";
        return kRunDied;
    }
    if (after.text == before.text) {
        err << "voxafax run: voxafax-print ended without writing any status (was another "
               "voxafax-print running?)\n";
        return kRunReportedError;
    }
    if (!exited)
        err << "voxafax run: voxafax-print wrote its end keys but has not ended (process " << pid
            << ")\n";
    if (after.state != "quit") {
        err << "voxafax run: the run stopped before its end; its last status: "
            << platform::Trim(after.status, " \t") << "\n";
        return kRunReportedError;
    }
    out << "Finished: " << platform::Trim(after.status, " \t") << "\n";
    if (std::string d = DescribeSession(after.session); !d.empty())
        out << "Session:  " << d << "\n";
    if (!after.lastError.empty()) {
        out << "Last error: " << after.lastError << "\n";
        return kRunReportedError;
    }
    out << "Last error: none\n";
    return kRunOk;
}

}  // namespace companion
