#pragma once
// What the program makes of its arguments. The scheduler passes one switch
// ("/0" ...); a person may ask for --help or --version. Anything else is a
// mistake that must not start a run: "-h" or "0" once downloaded, printed
// and deleted a fax as if it were a switch.
#include <string>

namespace vfmain {

struct Arguments {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    // The arguments joined by single blanks: the command line a run sees.
    std::string commandLine;
    // The first argument refused, for Action::Refuse.
    std::string refused;
};

Arguments ParseArguments(int argc, const char* const* argv);

// The text of --help: the switches, the files, the environment variables.
std::string UsageText();
// The text of --version.
std::string VersionText();

}  // namespace vfmain
