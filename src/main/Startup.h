#pragma once
// What voxafax-print checks and tidies before a run may touch the profile,
// the program folder or a server. Each check that fails has said why on the
// run log and names the kind of failure that ends the run.
#include <optional>

#include "config/RunGlobals.h"

namespace platform {
struct Environment;
class Log;
}  // namespace platform

namespace vfmain {

// A run as root on files that belong to a user would leave files behind
// that the user's own runs cannot read or replace (a profile that then reads
// as empty, a program folder they cannot write): refused before anything is
// created.
std::optional<config::RunFailure> CheckRunAsRoot(const platform::Environment& env,
                                                 platform::Log& log);

// A profile file that is there but cannot be read is never run on: every
// setting would be its default, and the status writes would replace the
// file with one holding only the status keys.
std::optional<config::RunFailure> CheckProfileReadable(const platform::Environment& env,
                                                       platform::Log& log);

// With the instance lock held: removes the copies that atomic writes killed
// half-way left behind (they may hold the password), and names on the log a
// program folder or working folder that is a link to somewhere else.
void TidyProgramFolder(const platform::Environment& env, platform::Log& log);

}  // namespace vfmain
