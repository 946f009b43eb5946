#pragma once
// The `voxafax` command: what a person uses to set up, start and watch
// voxafax-print. It talks to the program only through the files a scheduler
// would use (the profile file's status keys, account.ini, the Out queue), so
// it works the same whether the run was started here or by a timer.
#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/Environment.h"

namespace companion {

// Where questions are read and answers shown. `terminal` says whether `in` is
// a person at a terminal (secret answers are then read without echo).
struct Io {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool terminal = false;
};

// Runs one command line (without the program name); returns the exit status.
int Dispatch(const std::vector<std::string>& args, const platform::Environment& env, Io& io);

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
    // How long to wait for the process to end after it wrote VFPrint=quit.
    std::chrono::milliseconds quitGrace{5000};
};

// Exit statuses of `voxafax run`.
enum RunExit : int {
    kRunOk = 0,
    kRunReportedError = 1,  // last_error not empty, or the run ended before its end keys
    kRunUsage = 2,
    kRunDied = 3,  // the program could not be started, was killed or failed
};

int CmdRun(const platform::Environment& env, const RunMode& mode, const RunSettings& settings,
           std::ostream& out, std::ostream& err);

// voxafax-print beside this executable, else the first on PATH; "" if none.
std::string FindPrintProgram();

// ---- setup -----------------------------------------------------------------
int CmdSetup(const platform::Environment& env, Io& io);

// ---- help ------------------------------------------------------------------
void PrintUsage(std::ostream& out);
bool PrintCommandHelp(const std::string& command, std::ostream& out);

}  // namespace companion
