#pragma once
// Small helpers shared by the companion's commands.
#include <optional>
#include <string>

#include "config/NodeConfig.h"

namespace companion {

// The profile file's section that holds the settings and the status keys.
using config::kSection;

// The process holding voxafax-print's instance lock, if any.
std::optional<int> RunningPid(const std::string& lockPath);

}  // namespace companion
