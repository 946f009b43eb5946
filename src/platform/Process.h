#pragma once
// What the program does to its own process before it holds a password and
// writes files: no copy of its memory for anyone else, and file-size limits
// as errors rather than a silent death.
#include "platform/Result.h"

namespace platform {

// No core dump and no other process of the user attaching to read memory
// (the mailbox password is held in it for the whole run).
Status KeepMemoryPrivate();

// A write past the file-size limit (ulimit -f) then fails with EFBIG, which
// the writer reports like a full disk, instead of killing the process
// before it could say why or record how the run ended.
void IgnoreFileSizeSignal();

}  // namespace platform
