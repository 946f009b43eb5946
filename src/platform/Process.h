#pragma once
// What the program does to its own process before it holds a password and
// writes files: no copy of its memory for anyone else, and file-size limits
// as errors rather than a silent death.
#include "platform/Files.h"
#include "platform/Result.h"

namespace platform {

// No core dump and no other process of the user attaching to read memory
// (the mailbox password is held in it for the whole run).
Status KeepMemoryPrivate();

// A write past the file-size limit (ulimit -f) then fails with EFBIG, which
// the writer reports like a full disk, instead of killing the process
// before it could say why or record how the run ended.
void IgnoreFileSizeSignal();

class EventLoop;

// SIGTERM (a shutdown, a unit's stop or time-out, systemd's MemoryMax),
// SIGINT and SIGHUP no longer end the process wherever it is: they are held
// and handed to the loop as a request to stop (EventLoop::StopRequested),
// which the run takes at its next safe point. The signals stay held for the
// whole process; the object owns the descriptor they arrive on and must
// outlive the loop's use of it.
class StopSignals {
  public:
    Status Hold(EventLoop& loop);

  private:
    UniqueFd fd_;
};

}  // namespace platform
