#include <unistd.h>

#include <ostream>

#include "companion/Companion.h"

namespace companion {
namespace {

constexpr const char* kSetupHelp =
    "usage: voxafax setup [--offline]\n"
    "\n"
    "Asks for the settings voxafax-print needs, tests them, and saves them when\n"
    "you say so:\n"
    "  service address (Voxa_Fax_Addr) and mailbox password (Password);\n"
    "  POP3 server, security (tls, starttls or none), port and logon name\n"
    "    (options.ini [pop3]; the server is written only when it is not the\n"
    "    address's domain);\n"
    "  printer: a number from the list, a printer's exact name, or a new folder\n"
    "    printer (its name and the folder its PDF files go to);\n"
    "  header pages and text attachments on paper (options.ini [print] text_pages)\n"
    "    and the header page style (Print_Simple_Header, Print_Full_Header);\n"
    "  mail-store profile (VoxaFax_Profile) and its Maildir (stores.ini);\n"
    "  receipts to senders (Confirm_Receipt); your provider's submission server\n"
    "    with STARTTLS and a login (options.ini [smtp] relay, starttls, user; the\n"
    "    password goes to smtp-password beside the profile, [smtp] password_file),\n"
    "    or else the SMTP server (User_SMTP_Server; \"-\" for the service's own),\n"
    "    its TLS and port; and your e-mail address (Normal_EMail_Addr), the\n"
    "    sender of receipts that a later run sends again.\n"
    "\n"
    "Then it logs on to the POP3 server and reports the messages waiting (nothing\n"
    "is fetched or deleted), takes the SMTP dialogue of the test message up to\n"
    "RCPT TO (nothing is sent), and checks the printer and the Maildir. A server\n"
    "whose certificate no trusted authority signed is named, and the authority's\n"
    "certificate file asked for ([pop3] or [smtp] ca_file). --offline skips the\n"
    "servers.\n"
    "\n"
    "An empty answer keeps the value in brackets. At a terminal, Ctrl-D stops\n"
    "without saving. Answers may also come from standard input, one line per\n"
    "question; when that input ends, every further question takes its default.\n";

constexpr const char* kCheckHelp =
    "usage: voxafax check [--offline]\n"
    "\n"
    "Reads the settings as voxafax-print will and reports, without running it:\n"
    "keys it does not know (with the key meant), values it reads differently\n"
    "from what they seem to say (Confirm_Receipt = yes is read as off),\n"
    "settings given twice, files holding the password that others may read,\n"
    "the printer and the mail store, a password that would go in clear to\n"
    "another machine, another account's profile on the same mailbox or store,\n"
    "and then tries the POP3 logon and the SMTP path up to RCPT TO, naming what\n"
    "each server advertised (--offline skips these).\n"
    "\n"
    "Exit status: 0 when it found no problem, 1 when it found one.\n";

constexpr const char* kStatusHelp =
    "usage: voxafax status [--full]\n"
    "\n"
    "Shows when the last run started, how long it took and how it ended (from\n"
    "last-run.ini in the program folder), the status keys that voxafax-print\n"
    "keeps in the profile file (and says so when they are left from a run that\n"
    "ended early), the outcome of its last send from account.ini [log], and the\n"
    "receipts waiting in the Out queue. --full shows the SMTP log whole.\n";

constexpr const char* kRunHelpHead =
    "usage: voxafax run [MODE]\n"
    "\n"
    "Starts voxafax-print (the one beside this command, else the one on PATH),\n"
    "shows its status line and its log lines while it runs, then how it ended\n"
    "and what to do about a failure.\n"
    "\n"
    "Modes:\n";

constexpr const char* kRunHelpTail =
    "\n"
    "Exit status: voxafax-print's own (0 when the run did its job; see\n"
    "voxafax-print(1)); 2 on a usage error; 4 when another run is in progress;\n"
    "127 when voxafax-print could not be started; 128 + N when signal N ended it.\n";

bool IsHelp(const std::string& a) {
    return a == "--help" || a == "-h";
}

}  // namespace

void PrintUsage(std::ostream& out) {
    out << "usage: voxafax COMMAND [ARGS]\n"
           "\n"
           "Companion of voxafax-print, the VOXA-FAX print client.\n"
           "\n"
           "Commands:\n"
           "  setup [--offline]  ask for the settings, test them, save them\n"
           "  check [--offline]  find mistakes in the settings and try the servers\n"
           "  run [MODE]         start voxafax-print now and show its progress\n"
           "  status [--full]    how the last run went, the status keys, the Out queue\n"
           "  web [--port N]     the pages of this account in a browser\n"
           "  reprint ID         print a filed fax again, as the run printed it\n"
           "  help [COMMAND]     show help for a command\n"
           "\n"
           "Files: the profile file is $VOXAFAX_PROFILE (default\n"
           "~/.config/voxafax/voxafax.ini), the program folder $VOXAFAX_HOME (default\n"
           "~/.local/share/voxafax). See voxafax(1).\n";
}

bool PrintCommandHelp(const std::string& command, std::ostream& out) {
    if (command == "setup") {
        out << kSetupHelp;
    } else if (command == "check") {
        out << kCheckHelp;
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

namespace {

// voxafax run [MODE]: the mode, and voxafax-print to start.
int CmdRunArguments(const std::vector<std::string>& rest, const platform::Environment& env,
                    Io& io) {
    if (rest.size() > 1) {
        io.err << "voxafax run: one mode at most\n";
        return kUsage;
    }
    auto mode = FindRunMode(rest.empty() ? "now" : rest[0]);
    if (!mode) {
        io.err << "voxafax run: unknown mode \"" << rest[0] << "\"; see voxafax help run\n";
        return kUsage;
    }
    RunSettings settings;
    settings.program = FindPrintProgram();
    settings.terminal = ::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO);
    if (settings.program.empty()) {
        io.err << "voxafax run: voxafax-print was found neither beside voxafax nor on PATH\n";
        return kCannotStart;
    }
    return CmdRun(env, *mode, settings, io.out, io.err);
}

}  // namespace

int Dispatch(const std::vector<std::string>& args, const platform::Environment& env, Io& io,
             Services& services) {
    if (args.empty()) {
        PrintUsage(io.err);
        return kUsage;
    }
    const std::string& cmd = args[0];
    if (IsHelp(cmd)) {
        PrintUsage(io.out);
        return kOk;
    }
    if (cmd == "--version") {
        io.out << "voxafax (VOXA-FAX Print) 0.8.2\n";
        return kOk;
    }
    if (cmd == "help") {
        if (args.size() == 1) {
            PrintUsage(io.out);
            return kOk;
        }
        if (PrintCommandHelp(args[1], io.out)) return kOk;
        if (auto it = services.more.find(args[1]); it != services.more.end())
            return it->second({"--help"}, io);
        io.err << "voxafax: no such command: " << args[1] << "\n";
        return kUsage;
    }
    if (auto it = services.more.find(cmd); it != services.more.end())
        return it->second(std::vector<std::string>(args.begin() + 1, args.end()), io);
    if (cmd != "setup" && cmd != "check" && cmd != "run" && cmd != "status") {
        io.err << "voxafax: unknown command \"" << cmd << "\"; try voxafax --help\n";
        return kUsage;
    }
    // The command's own arguments: a help request wins over everything else.
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const std::string& a : rest) {
        if (IsHelp(a)) {
            PrintCommandHelp(cmd, io.out);
            return kOk;
        }
    }
    auto onlyFlag = [&](const char* flag, bool& set) {
        for (const std::string& a : rest) {
            if (a != flag) {
                io.err << "voxafax " << cmd << ": unexpected argument \"" << a
                       << "\"; see voxafax help " << cmd << "\n";
                return false;
            }
            set = true;
        }
        return true;
    };
    if (cmd == "status") {
        StatusOptions opts;
        if (!onlyFlag("--full", opts.full)) return kUsage;
        return CmdStatus(env, opts, io.out);
    }
    if (cmd == "setup") {
        SetupOptions opts;
        if (!onlyFlag("--offline", opts.offline)) return kUsage;
        return CmdSetup(env, opts, io, services);
    }
    if (cmd == "check") {
        CheckOptions opts;
        if (!onlyFlag("--offline", opts.offline)) return kUsage;
        return CmdCheck(env, opts, io.out, services);
    }
    return CmdRunArguments(rest, env, io);
}

}  // namespace companion
