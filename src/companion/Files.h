#pragma once
// Small helpers shared by the companion's commands.
#include <optional>
#include <string>

#include "config/NodeConfig.h"
#include "platform/Result.h"

namespace companion {

// The profile file's section that holds the settings and the status keys.
using config::kSection;

// The process holding voxafax-print's instance lock, if any.
std::optional<int> RunningPid(const std::string& lockPath);

// Why the profile file could not be read, for a person: "missing" (run
// setup) is told apart from "unreadable" (permissions, a folder, an I/O error).
std::string ProfileUnreadable(const std::string& path, const platform::Status& why);

}  // namespace companion
