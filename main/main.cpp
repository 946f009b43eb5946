// voxafax-print: started by a scheduler with one switch ("/0" to "/7"); does
// one run and ends. Progress goes only through the status keys of the profile.
#include <cstdlib>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "main/VFPrintMainProc.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/linux/dialogs/TerminalDialogs.h"
#include "platform/linux/imaging/ImageLibrary.h"
#include "platform/linux/maildir/MaildirStore.h"
#include "platform/linux/net/TcpSocket.h"
#include "platform/linux/printing/SystemPrinters.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    platform::Environment env = platform::Environment::FromProcess();
    (void)platform::MakeFolders(env.programFolder);  // the lock below reports a failure
    // Another run on the same program folder: end at once, writing nothing.
    auto lock = platform::InstanceLock::Acquire(env.programFolder + "/voxafax-print.lock");
    if (!lock) return 0;

    platform::Options options = platform::Options::Load(env);
    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    platform::ProfileStore profile(env.profilePath);
    const char* answers = std::getenv("VOXAFAX_ANSWERS");
    platform::TerminalDialogs dialogs(answers ? answers : "");
    auto printers = platform::MakeSystemPrinters(env.PrintersIni());
    auto imaging = platform::MakeImageLibrary(*printers, env.programFolder + "/temp");
    // VOXAFAX_HOSTS_FILE keeps name lookups to a hosts file (no name server
    // is ever asked): for test and demo rounds on loopback-only machines.
    const char* hostsFile = std::getenv("VOXAFAX_HOSTS_FILE");
    platform::TcpSocketFactory sockets =
        hostsFile && *hostsFile ? platform::TcpSocketFactory(platform::HostsFileResolver(hostsFile))
                                : platform::TcpSocketFactory(env.tick);
    platform::MaildirStoreProvider stores(env.StoresIni(), dialogs);
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log(platform::Log::LevelFromEnvironment(std::getenv("VOXAFAX_LOG")));
    config::Context ctx{env,      options, loop,   profile, dialogs, *printers,
                        *imaging, sockets, stores, cfg,     run,     log};
    return vfmain::Main(ctx, commandLine);
}
