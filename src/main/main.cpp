// voxafax-print: started by a scheduler with one switch ("/0" to "/7"); does
// one run and ends. Progress goes through the status keys of the profile;
// the run log for people goes to standard error; the exit status says how
// the run ended.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "config/Context.h"
#include "config/ExitStatus.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "linux/dialogs/TerminalDialogs.h"
#include "linux/imaging/ImageLibrary.h"
#include "linux/maildir/MaildirStore.h"
#include "linux/printing/SystemPrinters.h"
#include "linux/tcp/TcpSocket.h"
#include "main/CommandLine.h"
#include "main/RunRecord.h"
#include "main/Startup.h"
#include "main/VFPrintMainProc.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Log.h"
#include "platform/Process.h"
#include "platform/Profile.h"

namespace {

using config::ExitStatusOf;
using config::RunFailure;

// --help, --version and a refused argument touch no file and contact no
// server; the exit status, or nothing when a run is asked for.
std::optional<int> AnswerArguments(const vfmain::Arguments& args, platform::Log& log) {
    switch (args.action) {
        case vfmain::Arguments::Action::Help:
            std::fputs(vfmain::UsageText().c_str(), stdout);
            return 0;
        case vfmain::Arguments::Action::Version:
            std::fputs(vfmain::VersionText().c_str(), stdout);
            return 0;
        case vfmain::Arguments::Action::Refuse:
            log.Error("argument \"" + args.refused +
                      "\" is not a switch; switches begin with \"/\" (such as /0); nothing was "
                      "done; see voxafax-print --help");
            return ExitStatusOf(RunFailure::Usage);
        case vfmain::Arguments::Action::Run:
            break;
    }
    return std::nullopt;
}

// Another run on the same program folder: end at once, writing nothing.
std::optional<platform::InstanceLock> LockProgramFolder(const platform::Environment& env,
                                                        platform::Log& log, int& status) {
    (void)platform::MakeFolders(env.programFolder);  // the lock below reports a failure
    auto lock = platform::InstanceLock::Acquire(env.programFolder + "/voxafax-print.lock");
    if (lock) return std::move(*lock);
    if (lock.status().kind == platform::Fail::Rejected) {
        const long pid = vfmain::RunRecord::RunningPid(env.programFolder);
        log.Error("another voxafax-print" +
                  (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                  " is running on " + env.programFolder +
                  "; this run ends without doing anything; the next one will find it done");
        status = ExitStatusOf(RunFailure::AnotherRun);
    } else {
        log.Error("program folder " + env.programFolder + ": " + lock.status().detail +
                  "; set VOXAFAX_HOME to a folder this user can write");
        status = ExitStatusOf(RunFailure::Config);
    }
    return std::nullopt;
}

// A run refused after the program folder is locked: the status keys are left
// alone (the profile may not even be readable), the record says why.
int RefuseRun(const platform::Environment& env, const std::string& commandLine, platform::Log& log,
              RunFailure failure) {
    platform::SystemClock clock;
    config::RunGlobals run;
    run.NoteFailure(failure);
    const int status = ExitStatusOf(run.failure);
    vfmain::RunRecord record(env.programFolder, commandLine, env.profilePath, clock.Now());
    (void)record.WriteEnded(status, run, log, clock.Now());
    return status;
}

// Checks the settings the run stands on; a failure to end with, or nothing.
std::optional<RunFailure> CheckSettings(const platform::Environment& env,
                                        const config::Options& options, platform::Log& log) {
    if (auto refused = vfmain::CheckProfileReadable(env, log)) return refused;
    // Nothing runs on settings that say something other than what was meant.
    for (const auto& p : options.problems) log.Error(p);
    if (!options.problems.empty()) return RunFailure::Config;
    // A key that is no option is ignored, but never in silence.
    for (const auto& u : options.unknown) log.Warning(u);
    return std::nullopt;
}

// The real platform wired in, and the run.
int Run(platform::Environment& env, config::Options& options, const std::string& commandLine,
        platform::Log& log) {
    platform::SystemClock clock;
    platform::StopSignals stopSignals;  // outlives the loop that reads it
    platform::EventLoop loop(clock);
    if (platform::Status st = stopSignals.Hold(loop); !st)
        log.Warning(st.detail + "; SIGTERM ends the run wherever it is");
    platform::ProfileStore profile(env.profilePath);
    const char* answers = std::getenv("VOXAFAX_ANSWERS");
    platform::TerminalDialogs dialogs(answers ? answers : "");
    auto printers = platform::MakeSystemPrinters(env.PrintersIni());
    auto imaging =
        platform::MakeImageLibrary(*printers, env.programFolder + "/temp", options.maxPages);
    // VOXAFAX_HOSTS_FILE keeps name lookups to a hosts file (no name server
    // is ever asked): for test and demo rounds on loopback-only machines.
    const char* hostsFile = std::getenv("VOXAFAX_HOSTS_FILE");
    platform::TcpSocketFactory sockets =
        hostsFile && *hostsFile ? platform::TcpSocketFactory(platform::HostsFileResolver(hostsFile))
                                : platform::TcpSocketFactory(env.tick);
    platform::MaildirStore store(env.StoresIni(), dialogs);
    config::NodeConfig cfg;
    config::RunGlobals run;
    config::Context ctx{env,      options, loop,  profile, dialogs, *printers,
                        *imaging, sockets, store, cfg,     run,     log};
    return vfmain::Main(ctx, commandLine);
}

}  // namespace

int main(int argc, char** argv) {
    const vfmain::Arguments args = vfmain::ParseArguments(argc, argv);
    bool unknownLevel = false;
    const char* level = std::getenv("VOXAFAX_LOG");
    platform::Log log(platform::Log::LevelFromEnvironment(level, &unknownLevel));
    if (auto answered = AnswerArguments(args, log)) return *answered;
    if (unknownLevel)
        log.Warning(std::string("VOXAFAX_LOG = ") + level +
                    " is not quiet, info or debug; info is used");
    // The mailbox password is read into this process: nobody gets a copy of
    // its memory. A file-size limit is a failed write, not a silent death.
    if (platform::Status st = platform::KeepMemoryPrivate(); !st)
        log.Warning(st.detail + "; a core dump could hold the mailbox password");
    platform::IgnoreFileSizeSignal();

    platform::Environment env = platform::Environment::FromProcess();
    if (auto refused = vfmain::CheckRunAsRoot(env, log)) return ExitStatusOf(*refused);
    int status = 0;
    std::optional<platform::InstanceLock> lock = LockProgramFolder(env, log, status);
    if (!lock) return status;
    vfmain::TidyProgramFolder(env, log);
    config::Options options = config::Options::Load(env);
    if (auto refused = CheckSettings(env, options, log))
        return RefuseRun(env, args.commandLine, log, *refused);
    return Run(env, options, args.commandLine, log);
}
