#include "main/CommandLine.h"

#include <string_view>

#include "config/RunGlobals.h"

namespace vfmain {

Arguments ParseArguments(int argc, const char* const* argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (i > 1) a.commandLine += ' ';
        a.commandLine += arg;
    }
    // --help and --version win wherever they stand: a person who typed them
    // wants the answer, not a run.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--help") {
            a.action = Arguments::Action::Help;
            return a;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--version") {
            a.action = Arguments::Action::Version;
            return a;
        }
    }
    // Switches begin with "/"; any switch the program has no handling for
    // still runs as an ordinary run, as it always has. An empty argument adds
    // nothing to the command line and is left to the empty-command-line rule.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (!arg.empty() && arg.front() != '/') {
            a.action = Arguments::Action::Refuse;
            a.refused = std::string(arg);
            return a;
        }
    }
    return a;
}

std::string UsageText() {
    return R"(usage: voxafax-print /SWITCH
       voxafax-print --help | --version

Fetches the faxes of a VOXA-FAX mailbox by POP3, prints them, answers the
senders with receipts, files every message in the mail store, and ends.
A scheduler (the systemd user timer voxafax-print.timer) starts it with one
switch; `voxafax run` starts one by hand and shows its progress.

Switches:
  /0          an ordinary run
  /1          print the regular faxes of the regular-fax profile only
  /2          send the test message to the service
  /3          an ordinary run, then wake_probes further inbox checks
  /5          only fetch regular e-mail into the regular mail profile
  /7          an ordinary run as a print test: nothing is filed
  /4, /6      an ordinary run

Files:
  ~/.config/voxafax/voxafax.ini   settings and status keys ($VOXAFAX_PROFILE)
  stores.ini, printers.ini, options.ini   beside the profile file
  ~/.local/share/voxafax/         program folder ($VOXAFAX_HOME): temp/, In/,
                                  Out/, MDNs/, account.ini, last-run.ini

Environment:
  VOXAFAX_HOME, VOXAFAX_PROFILE   the program folder and the profile file
  VOXAFAX_LOG                     quiet, info (default) or debug: how much the
                                  run log on standard error says
  VOXAFAX_POP3_PORT, VOXAFAX_SMTP_PORT   server ports (win over options.ini)
  VOXAFAX_TICK_MS                 one tick of the network timers (60000)
  VOXAFAX_ANSWERS                 answers to message boxes without a terminal
  VOXAFAX_HOSTS_FILE              look host names up in this file only
  SSL_CERT_FILE, CUPS_SERVER      as for other OpenSSL and CUPS programs

Exit status: 0 when the run did its job; see voxafax-print(1) for the others.
)";
}

std::string VersionText() {
    return "voxafax-print " + config::RunGlobals().gVersion + "\n";
}

}  // namespace vfmain
