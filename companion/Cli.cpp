#include <ostream>

#include "companion/Companion.h"

namespace companion {
namespace {

constexpr const char* kSetupHelp =
    "usage: voxafax setup\n"
    "\n"
    "Asks for the settings voxafax-print needs and writes them:\n"
    "  1. service address (Voxa_Fax_Addr), e.g. fax1@voxafax.example\n"
    "  2. mailbox password (Password); empty keeps the current one\n"
    "  3. printer: a number from the list, a printer's exact name, or the\n"
    "     number of \"create a folder printer\", followed by\n"
    "       3a. the folder printer's name\n"
    "       3b. the folder its PDF files go to\n"
    "  4. mail-store profile name (VoxaFax_Profile)\n"
    "  5. the profile's Maildir (stores.ini)\n"
    "  6. send receipts to senders, y or n (Confirm_Receipt)\n"
    "  7. when receipts are on: the SMTP server for them (User_SMTP_Server);\n"
    "     \"-\" clears it\n"
    "  8. when receipts are on: your e-mail address (Normal_EMail_Addr), the\n"
    "     sender of receipts that a later run sends again from the Out queue\n"
    "\n"
    "An empty answer keeps the value shown in brackets. Answers may come from\n"
    "standard input, one line per question in the order above, e.g.\n"
    "  printf '%s\\n' fax1@voxafax.example secret 1 '' '' y '' '' | voxafax setup\n"
    "\n"
    "Settings go to section [VOXA-FAX] of the profile file (locked while it is\n"
    "written, so a running voxafax-print loses nothing), the Maildir to\n"
    "stores.ini and a new folder printer to printers.ini, beside the profile.\n";

constexpr const char* kStatusHelp =
    "usage: voxafax status [--full]\n"
    "\n"
    "Shows the status keys that voxafax-print keeps in the profile file\n"
    "(VFPrint, printing, print_status, last_error, session, totals,\n"
    "test_server), the outcome of its last send from account.ini [log], and the\n"
    "receipts waiting in the Out queue. --full shows the SMTP log whole instead\n"
    "of its end.\n";

constexpr const char* kRunHelpHead =
    "usage: voxafax run [MODE]\n"
    "\n"
    "Starts voxafax-print (the one beside this command, else the one on PATH),\n"
    "shows its progress while it runs and its totals at the end.\n"
    "\n"
    "Modes:\n";

constexpr const char* kRunHelpTail =
    "\n"
    "Exit status: 0 when the run ended without an error; 1 when it reported\n"
    "one (last_error) or stopped before its end; 2 on a usage error; 3 when\n"
    "voxafax-print could not be started, failed or was killed.\n";

}  // namespace

void PrintUsage(std::ostream& out) {
    out << "usage: voxafax COMMAND [ARGS]\n"
           "\n"
           "Companion of voxafax-print, the VOXA-FAX print client.\n"
           "\n"
           "Commands:\n"
           "  setup            ask for the settings and write the configuration files\n"
           "  run [MODE]       start voxafax-print now and show its progress\n"
           "  status [--full]  show the last run's status, the send log and the Out queue\n"
           "  help [COMMAND]   show help for a command\n"
           "\n"
           "Files: the profile file is $VOXAFAX_PROFILE (default\n"
           "~/.config/voxafax/voxafax.ini), the program folder $VOXAFAX_HOME (default\n"
           "~/.local/share/voxafax). See voxafax(1).\n";
}

bool PrintCommandHelp(const std::string& command, std::ostream& out) {
    if (command == "setup") {
        out << kSetupHelp;
    } else if (command == "status") {
        out << kStatusHelp;
    } else if (command == "run") {
        out << kRunHelpHead;
        for (const RunMode& m : RunModes())
            out << "  " << m.name << std::string(12 - m.name.size(), ' ') << m.sw << "  " << m.what
                << "\n";
        out << "The default mode is \"now\".\n" << kRunHelpTail;
    } else if (command == "help") {
        out << "usage: voxafax help [COMMAND]\n";
    } else {
        return false;
    }
    return true;
}

int Dispatch(const std::vector<std::string>& args, const platform::Environment& env, Io& io) {
    if (args.empty()) {
        PrintUsage(io.err);
        return kRunUsage;
    }
    const std::string& cmd = args[0];
    auto wantsHelp = [&] {
        for (std::size_t i = 1; i < args.size(); ++i)
            if (args[i] == "--help" || args[i] == "-h") return true;
        return false;
    };
    if (cmd == "--help" || cmd == "-h") {
        PrintUsage(io.out);
        return 0;
    }
    if (cmd == "--version") {
        io.out << "voxafax (VOXA-FAX Print) 0.8.2\n";
        return 0;
    }
    if (cmd == "help") {
        if (args.size() == 1) {
            PrintUsage(io.out);
            return 0;
        }
        if (PrintCommandHelp(args[1], io.out)) return 0;
        io.err << "voxafax: no such command: " << args[1] << "\n";
        return kRunUsage;
    }
    if (cmd != "setup" && cmd != "run" && cmd != "status") {
        io.err << "voxafax: unknown command \"" << cmd << "\"; try voxafax --help\n";
        return kRunUsage;
    }
    if (wantsHelp()) {
        PrintCommandHelp(cmd, io.out);
        return 0;
    }
    if (cmd == "status") {
        StatusOptions opts;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--full") {
                opts.full = true;
            } else {
                io.err << "voxafax status: unexpected argument \"" << args[i] << "\"\n";
                return kRunUsage;
            }
        }
        return CmdStatus(env, opts, io.out);
    }
    if (cmd == "setup") {
        if (args.size() > 1) {
            io.err << "voxafax setup: takes no arguments; answers come from standard input\n";
            return kRunUsage;
        }
        return CmdSetup(env, io);
    }
    // run
    if (args.size() > 2) {
        io.err << "voxafax run: one mode at most\n";
        return kRunUsage;
    }
    auto mode = FindRunMode(args.size() == 2 ? args[1] : "now");
    if (!mode) {
        io.err << "voxafax run: unknown mode \"" << args[1] << "\"; see voxafax help run\n";
        return kRunUsage;
    }
    RunSettings settings;
    settings.program = FindPrintProgram();
    if (settings.program.empty()) {
        io.err << "voxafax run: voxafax-print was found neither beside voxafax nor on PATH\n";
        return kRunDied;
    }
    return CmdRun(env, *mode, settings, io.out, io.err);
}

}  // namespace companion
