#pragma once
// The `voxafax` command: what a person uses to set up, check, start and watch
// voxafax-print. It talks to the program only through the files a scheduler
// would use (the profile file's status keys, account.ini, the Out queue, the
// record of the last run) and through its exit status, so it works the same
// whether the run was started here or by a timer.
#include <chrono>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/Options.h"
#include "platform/Environment.h"
#include "platform/Result.h"

namespace platform {
class Printers;
class SocketFactory;
}  // namespace platform

namespace companion {

// Where questions are read and answers shown. `terminal` says whether `in` is
// a person at a terminal (secret answers are then read without echo, and the
// end of the input means "stop" rather than "take the defaults").
struct Io {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool terminal = false;
};

// What the commands need from the system; main.cpp wires the real ones.
struct Services {
    platform::Printers& printers;
    platform::SocketFactory& sockets;
    // Why a CUPS queue would not take a job now ("" when it would).
    std::function<std::string(const std::string& queue)> queueProblem;
    // The Maildir (as written) of a profile of stores.ini, read as the mail
    // store reads it; a failure's detail follows the profile's name ("names
    // no profile in ...").
    std::function<platform::Result<std::string>(const std::string& storesIni,
                                                const std::string& profile)>
        storeMaildir;
    // Commands whose code lives in libraries of their own (web, reprint), by
    // name; each takes its own arguments. main.cpp wires them.
    std::map<std::string, std::function<int(const std::vector<std::string>& args, Io& io)>> more;
};

// Runs one command line (without the program name); returns the exit status.
int Dispatch(const std::vector<std::string>& args, const platform::Environment& env, Io& io,
             Services& services);

// Exit statuses of the companion's own commands (`run` passes on
// voxafax-print's, see Outcome.h).
enum CompanionExit : int {
    kOk = 0,
    kProblem = 1,  // check found a problem; setup saved nothing
    kUsage = 2,
    kAnotherRun = 4,     // as voxafax-print's own
    kCannotStart = 127,  // voxafax-print was not found or could not be started
    kKilledBase = 128,   // + the signal that ended voxafax-print
};

// ---- status ----------------------------------------------------------------
struct StatusOptions {
    bool full = false;  // show the SMTP log of account.ini whole
};
int CmdStatus(const platform::Environment& env, const StatusOptions& opts, std::ostream& out);

// Readable form of key session ("a,b,c,d"); empty when it is not that shape.
std::string DescribeSession(const std::string& session);

// ---- run -------------------------------------------------------------------
struct RunMode {
    std::string name;  // now, test, print-test, regular, mail
    std::string sw;    // the switch handed to voxafax-print
    std::string what;  // one line for help texts
};
const std::vector<RunMode>& RunModes();
std::optional<RunMode> FindRunMode(const std::string& name);

struct RunSettings {
    std::string program;  // path of voxafax-print
    std::chrono::milliseconds pollInterval{200};
    bool terminal = false;  // standard output and error are a terminal: one live status line
};

// Starts voxafax-print with the mode's switch, shows its progress and the
// outcome; returns voxafax-print's exit status (kKilledBase + N when signal
// N ended it).
int CmdRun(const platform::Environment& env, const RunMode& mode, const RunSettings& settings,
           std::ostream& out, std::ostream& err);

// voxafax-print beside this executable, else the first on PATH; "" if none.
std::string FindPrintProgram();

// ---- setup and check -------------------------------------------------------
struct SetupOptions {
    bool offline = false;  // do not try the servers
};
int CmdSetup(const platform::Environment& env, const SetupOptions& opts, Io& io,
             Services& services);

struct CheckOptions {
    bool offline = false;
};
int CmdCheck(const platform::Environment& env, const CheckOptions& opts, std::ostream& out,
             Services& services);

// ---- help ------------------------------------------------------------------
void PrintUsage(std::ostream& out);
bool PrintCommandHelp(const std::string& command, std::ostream& out);

}  // namespace companion
