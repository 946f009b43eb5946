// voxafax-print: started by a scheduler with one switch ("/0" to "/7"); does
// one run and ends. Progress goes through the status keys of the profile;
// the run log for people goes to standard error; the exit status says how
// the run ended.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "main/CommandLine.h"
#include "main/RunRecord.h"
#include "main/VFPrintMainProc.h"
#include "config/Options.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "linux/dialogs/TerminalDialogs.h"
#include "linux/imaging/ImageLibrary.h"
#include "linux/maildir/MaildirStore.h"
#include "linux/tcp/TcpSocket.h"
#include "linux/printing/SystemPrinters.h"

int main(int argc, char** argv) {
    // Arguments first: --help, --version and a refused argument touch no
    // file and contact no server.
    const vfmain::Arguments args = vfmain::ParseArguments(argc, argv);
    switch (args.action) {
        case vfmain::Arguments::Action::Help:
            std::fputs(vfmain::UsageText().c_str(), stdout);
            return 0;
        case vfmain::Arguments::Action::Version:
            std::fputs(vfmain::VersionText().c_str(), stdout);
            return 0;
        case vfmain::Arguments::Action::Refuse:
        case vfmain::Arguments::Action::Run:
            break;
    }
    bool unknownLevel = false;
    const char* level = std::getenv("VOXAFAX_LOG");
    platform::Log log(platform::Log::LevelFromEnvironment(level, &unknownLevel));
    if (args.action == vfmain::Arguments::Action::Refuse) {
        log.Error("argument \"" + args.refused +
                  "\" is not a switch; switches begin with \"/\" (such as /0); nothing was "
                  "done; see voxafax-print --help");
        return vfmain::ExitStatusOf(config::RunFailure::Usage);
    }
    if (unknownLevel)
        log.Warning(std::string("VOXAFAX_LOG = ") + level +
                    " is not quiet, info or debug; info is used");

    platform::Environment env = platform::Environment::FromProcess();
    (void)platform::MakeFolders(env.programFolder);  // the lock below reports a failure
    // Another run on the same program folder: end at once, writing nothing.
    auto lock = platform::InstanceLock::Acquire(env.programFolder + "/voxafax-print.lock");
    if (!lock) {
        if (lock.status().kind == platform::Fail::Rejected) {
            const long pid = vfmain::RunRecord::RunningPid(env.programFolder);
            log.Error("another voxafax-print" +
                      (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                      " is running on " + env.programFolder +
                      "; this run ends without doing anything; the next one will find it done");
            return vfmain::ExitStatusOf(config::RunFailure::AnotherRun);
        }
        log.Error("program folder " + env.programFolder + ": " + lock.status().detail +
                  "; set VOXAFAX_HOME to a folder this user can write");
        return vfmain::ExitStatusOf(config::RunFailure::Config);
    }

    platform::SystemClock clock;
    config::Options options = config::Options::Load(env);
    if (!options.problems.empty()) {
        // Nothing runs on settings that say something other than what was
        // meant; the status keys are left alone, the record says why.
        for (const auto& p : options.problems) log.Error(p);
        config::RunGlobals run;
        run.NoteFailure(config::RunFailure::Config);
        const int status = vfmain::ExitStatusOf(run.failure);
        vfmain::RunRecord record(env.programFolder, args.commandLine, env.profilePath, clock.Now());
        (void)record.WriteEnded(status, run, log, clock.Now());
        return status;
    }

    platform::EventLoop loop(clock);
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
    config::Context ctx{env,      options, loop,   profile, dialogs, *printers,
                        *imaging, sockets, store,  cfg,     run,     log};
    return vfmain::Main(ctx, args.commandLine);
}
