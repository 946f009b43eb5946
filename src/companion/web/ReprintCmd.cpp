#include <cstdlib>
#include <ostream>

#include "companion/Companion.h"
#include "companion/web/Web.h"
#include "config/RunGlobals.h"
#include "platform/Environment.h"
#include "platform/InstanceLock.h"
#include "walk/Reprint.h"

namespace web {

const char kReprintHelp[] =
    "usage: voxafax reprint ID [--printer NAME] [--profile FILE]\n"
    "\n"
    "Prints a fax of the store again, with the header page and images the run\n"
    "printed, on the configured printer or the one named. Nothing is filed,\n"
    "marked or answered again. ID is the message's ID as the Faxes page of\n"
    "voxafax web links it (a fax that a run files later gets a new one).\n"
    "\n"
    "Exit status: 0 printed; 1 no such message, or no fax; 3 a setting; 4 a run of\n"
    "voxafax-print holds the program folder (try again when it has ended); 9 the\n"
    "printer failed.\n";

int CmdReprint(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const WithRunContext& withContext) {
    std::string id, printer;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--printer" || args[i] == "--profile") && i + 1 < args.size()) {
            if (args[i] == "--printer")
                printer = args[++i];
            else
                ::setenv("VOXAFAX_PROFILE", args[++i].c_str(), 1);
        } else if (id.empty() && !args[i].starts_with("--")) {
            id = args[i];
        } else {
            err << "voxafax reprint: unexpected argument \"" << args[i]
                << "\"; see voxafax help reprint\n";
            return companion::kUsage;
        }
    }
    if (id.empty()) {
        err << "voxafax reprint: which fax? see voxafax help reprint\n";
        return companion::kUsage;
    }
    // As a run: the program folder is one process's at a time, so that the
    // message is not moved and the temp folder not emptied under the reprint.
    const platform::Environment env = platform::Environment::FromProcess();
    auto lock = platform::InstanceLock::Acquire(env.programFolder + "/voxafax-print.lock");
    if (!lock) {
        err << "voxafax reprint: "
            << (lock.status().kind == platform::Fail::Rejected
                    ? "voxafax-print is running; try again when the run has ended"
                    : env.programFolder + ": " + lock.status().detail)
            << "\n";
        return lock.status().kind == platform::Fail::Rejected ? companion::kAnotherRun
                                                              : companion::kProblem;
    }
    const int status =
        withContext([&](config::Context& ctx) { return walk::Reprint(ctx, id, printer); });
    if (status == 0) out << "voxafax reprint: printed again\n";
    return status;
}

}  // namespace web
