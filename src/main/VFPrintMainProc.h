#pragma once
// The entry routine of a run: reads the configuration, prepares the working
// folders, follows the scheduler's switch through the phases of the run and
// writes the end keys.
#include <string>

namespace config {
struct Context;
}

namespace vfmain {

// Runs one whole run on the given context; returns the process exit status.
// The instance check is the caller's (it must come before anything is written).
int Main(config::Context& ctx, const std::string& commandLine);

}  // namespace vfmain
