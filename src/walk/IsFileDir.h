#pragma once
#include <string>

namespace walk {

// Deletes every file of the folder (not sub-folders). Stops at the first file
// that cannot be deleted and returns false.
bool KillAllFiles(const std::string& path);

}  // namespace walk
