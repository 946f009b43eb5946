#pragma once
// The exit statuses of voxafax-print with their words: one table that the
// program (the run log, last-run.ini) and the companion (run and status in
// words) both read, so that the two never tell a status differently.
#include "config/RunGlobals.h"

namespace config {

struct ExitKind {
    RunFailure failure;
    const char* name;   // last-run.ini's exit_meaning: "server-unreachable"
    const char* words;  // "the POP3 server could not be reached"
    // What to do after such a run; "{options}", "{profile}" and "{home}"
    // stand for options.ini, the profile file and the program folder.
    const char* hint;
};

inline constexpr int ExitStatusOf(RunFailure failure) {
    return static_cast<int>(failure);
}
inline constexpr int kExitOk = ExitStatusOf(RunFailure::None);
inline constexpr int kExitInternal = ExitStatusOf(RunFailure::Internal);

// The row of a status, or nullptr for a number voxafax-print never gives.
const ExitKind* FindExitStatus(int status);
// The row's name, "internal" for a number without one.
const char* ExitMeaning(int status);

}  // namespace config
