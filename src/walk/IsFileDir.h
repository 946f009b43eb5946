#pragma once
#include <string>

namespace walk {

// True when the folder exists. Probes by creating it: a creation that fails
// because the path exists means yes; a folder made by the probe is removed
// again (no).
bool DirExists(const std::string& path);

// Deletes every file of the folder (not sub-folders). Stops at the first file
// that cannot be deleted and returns false.
bool KillAllFiles(const std::string& path);

}  // namespace walk
