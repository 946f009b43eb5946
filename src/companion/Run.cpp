#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
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
#include "companion/Outcome.h"
#include "companion/RunView.h"
#include "config/ExitStatus.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Text.h"

extern char** environ;

namespace companion {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How long the program's standard error may stay silent before an
// unfinished line on it is taken for a question and shown.
constexpr std::chrono::milliseconds kQuestionAfter{150};
// After the program has ended, how long to wait for the rest of its
// standard error (a `deliver` command it started may still hold it open).
constexpr std::chrono::milliseconds kDrainFor{500};

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gStops = 0;
void NoteStop(int sig) {
    gStopSignal = sig;
    gStops = gStops + 1;
}

// Catches Ctrl-C and a stop request while voxafax-print runs, so that they
// reach the program and this command still says how the run ended; a second
// one ends the program at once. Caught signals are reset to their default in
// the program when it starts.
class StopSignals {
  public:
    StopSignals() {
        gStopSignal = 0;
        gStops = 0;
        struct sigaction sa {};
        sa.sa_handler = NoteStop;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &sa, &saved_[i]);
    }
    ~StopSignals() {
        for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
    }

  private:
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved_[3]{};
};

bool Executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

struct Keys {
    std::string status;  // print_status
    std::string state;   // VFPrint
    std::string printing;
    std::string lastError;
    std::string session;
};

Keys ReadKeys(const std::string& profilePath) {
    const std::string text = platform::ReadWholeFile(profilePath).value_or("");
    auto get = [&](const char* k) { return platform::ini::Lookup(text, kSection, k).value_or(""); };
    return {get("print_status"), get("VFPrint"), get("printing"), get("last_error"),
            get("session")};
}

// Reads what the pipe holds now; false at its end.
bool ReadPipe(int fd, RunView& view) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            view.LogData(std::string_view(buf, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// "Label: text"; scripts read these lines, so the label is followed by one
// blank only.
void Line(std::ostream& out, const char* label, const std::string& text) {
    out << label << (label[0] ? " " : "  ") << text << "\n";
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

namespace {

// voxafax-print started with its standard error on a pipe.
struct Child {
    pid_t pid = -1;
    platform::UniqueFd logRead;
    platform::UniqueFd watch;  // the profile's folder, for status lines as they are written
    platform::UniqueFd pidfd;
};

// Starts the program; on failure says why on err and returns nothing.
std::optional<Child> StartProgram(const platform::Environment& env, const RunMode& mode,
                                  const RunSettings& settings, std::ostream& out,
                                  std::ostream& err) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        err << "voxafax run: cannot make a pipe: " << std::strerror(errno) << "\n";
        return std::nullopt;
    }
    Child c;
    c.logRead = platform::UniqueFd(pipeFds[0]);
    platform::UniqueFd logWrite(pipeFds[1]);
    // The end of the run comes from the process; the profile's folder is
    // watched only to show each new status line as soon as it is written.
    c.watch = platform::UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (c.watch &&
        ::inotify_add_watch(c.watch.get(), env.configDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
        c.watch.Reset();

    std::string sw = mode.sw;
    std::string prog = settings.program;
    char* argv[] = {prog.data(), sw.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, logWrite.get(), STDERR_FILENO);
    out << "Starting " << prog << " " << sw << "\n" << std::flush;
    const int rc = ::posix_spawn(&c.pid, prog.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        err << "voxafax run: cannot start " << prog << ": " << std::strerror(rc) << "\n";
        return std::nullopt;
    }
    logWrite.Reset();  // the pipe ends when the program (and what it started) closes it
    ::fcntl(c.logRead.get(), F_SETFL, O_NONBLOCK);
    c.pidfd = platform::OpenProcessFd(c.pid);
    return c;
}

// Shows the program's log and status lines until it has ended; its wait
// status. A stop signal is passed on, a second one kills.
int WatchRun(Child& c, const platform::Environment& env, const RunSettings& settings,
             RunView& view) {
    std::string seen = ReadKeys(env.profilePath).status;
    auto showStatus = [&] {
        std::string now = ReadKeys(env.profilePath).status;
        // The previous run's last line is not news.
        if (now != seen) view.Status(now);
        seen = now;
    };
    bool pipeOpen = true;
    int wstatus = 0;
    int forwarded = 0;
    auto lastData = SteadyClock::now();
    for (;;) {
        pid_t r = ::waitpid(c.pid, &wstatus, WNOHANG);
        if (r == c.pid || (r < 0 && errno == ECHILD)) break;
        if (gStops > forwarded) {
            ::kill(c.pid, forwarded == 0 ? static_cast<int>(gStopSignal) : SIGKILL);
            forwarded = gStops;
        }
        showStatus();
        pollfd pfds[3] = {{c.pidfd.get(), POLLIN, 0},
                          {c.watch.get(), POLLIN, 0},
                          {pipeOpen ? c.logRead.get() : -1, POLLIN, 0}};
        ::poll(pfds, 3, static_cast<int>(settings.pollInterval.count()));
        if (pfds[1].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            while (::read(c.watch.get(), buf, sizeof buf) > 0) {
            }
        }
        if (pfds[2].revents) {
            pipeOpen = ReadPipe(c.logRead.get(), view);
            lastData = SteadyClock::now();
        } else if (SteadyClock::now() - lastData >= kQuestionAfter) {
            view.Quiet();
        }
    }
    // The rest of what it wrote.
    const auto drainEnd = SteadyClock::now() + kDrainFor;
    while (pipeOpen && SteadyClock::now() < drainEnd) {
        pollfd p{c.logRead.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kDrainFor.count())) <= 0) break;
        pipeOpen = ReadPipe(c.logRead.get(), view);
    }
    showStatus();
    view.Finish();
    return wstatus;
}

// The status keys a run left: how it finished, its session and last error.
void ReportKeys(std::ostream& out, const Keys& after, const std::optional<LastRun>& record,
                int status) {
    // A run refused before it began (its command line, another run) wrote
    // no keys: those in the profile are another run's.
    const bool wroteKeys = status != config::ExitStatusOf(config::RunFailure::Usage) &&
                           status != config::ExitStatusOf(config::RunFailure::AnotherRun);
    const std::string finalStatus = platform::Trim(after.status, " \t");
    if (after.state == "quit" && wroteKeys)
        Line(out, "Finished:", finalStatus);
    else if (wroteKeys && !finalStatus.empty())
        Line(out, "Stopped at:", finalStatus);
    if (after.state == "quit" && wroteKeys) {
        if (std::string d = DescribeSession(after.session); !d.empty()) Line(out, "Session:", d);
        Line(out, "Last error:",
             record && platform::Trim(after.lastError).empty() ? LastErrorOfRun(*record)
                                                               : LastErrorInWords(after.lastError));
    }
}

// The outcome: the exit status first, then the record of the run when it is
// this run's, then the status keys. Returns the exit status to give.
int ReportOutcome(const platform::Environment& env, pid_t pid, int wstatus, std::ostream& out) {
    const Keys after = ReadKeys(env.profilePath);
    std::optional<LastRun> record = ReadLastRun(LastRunPath(env));
    if (record && record->pid != pid) record.reset();
    const bool killed = WIFSIGNALED(wstatus);
    const int status = killed ? kKilledBase + WTERMSIG(wstatus)
                              : (WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : kCannotStart);
    out << "\n";
    ReportKeys(out, after, record, status);
    if (record && !record->figures.empty()) {
        std::string took = record->durationMs ? FormatDuration(*record->durationMs) + "; " : "";
        Line(out, "Run:", took + record->figures);
    }
    if (killed) {
        const int sig = WTERMSIG(wstatus);
        Line(out, "Outcome:",
             "voxafax-print was ended by signal " + std::to_string(sig) + " (" + ::strsignal(sig) +
                 ")");
        Line(out, "",
             "its status keys are left as they were (VFPrint \"" + after.state +
                 "\"); the next run takes up the faxes it was handling");
        return status;
    }
    Line(out, "Outcome:", "exit status " + ExitInWords(status));
    const std::string lastError = platform::Trim(after.lastError);
    if (status == config::kExitOk && after.state == "quit" && !lastError.empty() &&
        LastErrorInWords(lastError) != lastError) {
        // A bare SMTP code on a run that did its job: a receipt waits.
        Line(out, "What to do:",
             "receipts that no SMTP server took wait in " + env.programFolder +
                 "/Out for the next run; voxafax status --full shows the SMTP dialogue");
    }
    if (status != config::kExitOk) {
        Line(out, "What to do:", ExitHint(status, env));
        Line(out, "Record:",
             record ? LastRunPath(env) + " (voxafax status shows it)"
                    : "voxafax-print wrote no record of this run in " + LastRunPath(env));
    }
    return status;
}

}  // namespace

int CmdRun(const platform::Environment& env, const RunMode& mode, const RunSettings& settings,
           std::ostream& out, std::ostream& err) {
    if (auto pid = RunningPid(env.programFolder + "/voxafax-print.lock")) {
        err << "voxafax run: voxafax-print is already running (process " << *pid
            << "); watch it with voxafax status\n";
        return kAnotherRun;
    }
    StopSignals stopSignals;
    std::optional<Child> child = StartProgram(env, mode, settings, out, err);
    if (!child) return kCannotStart;
    RunView view(out, err, settings.terminal);
    const int wstatus = WatchRun(*child, env, settings, view);
    return ReportOutcome(env, child->pid, wstatus, out);
}

}  // namespace companion
