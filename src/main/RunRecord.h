#pragma once
// The record of the last run, $VOXAFAX_HOME/last-run.ini: written when a run
// starts (state = running) and again at every end, early ends included
// (state = ended), so that `voxafax status` and an administrator can tell
// how the last run went without reading the profile's status keys.
#include <cstdint>
#include <ctime>
#include <string>

#include "config/ExitStatus.h"
#include "config/RunGlobals.h"
#include "platform/Clock.h"
#include "platform/Result.h"

namespace platform {
class Log;
}

namespace vfmain {

// The exit statuses and their names, for the run's last lines.
using config::ExitMeaning;
using config::ExitStatusOf;
using config::kExitInternal;
using config::kExitOk;

class RunRecord {
  public:
    // programFolder/last-run.ini; the switch as the program received it.
    RunRecord(const std::string& programFolder, std::string commandSwitch, std::string profilePath,
              platform::SteadyTime startedSteady);

    const std::string& path() const { return path_; }

    // state = running with what is known at the start.
    platform::Status WriteRunning();
    // state = ended with the outcome, the figures and the run log's problems.
    platform::Status WriteEnded(int exitStatus, const config::RunGlobals& run,
                                const platform::Log& log, platform::SteadyTime nowSteady);

    // The pid of a run that the record says is still running, or 0: for the
    // line that tells a second run who holds the program folder.
    static long RunningPid(const std::string& programFolder);

  private:
    std::string Header(const char* state) const;

    std::string path_;
    std::string switch_;
    std::string profile_;
    long pid_;
    std::time_t started_;
    platform::SteadyTime startedSteady_;
};

}  // namespace vfmain
