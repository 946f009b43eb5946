#pragma once
// What `voxafax run` shows while voxafax-print runs: its status line
// (print_status) and the lines of its run log (its standard error) as they
// come. At a terminal the status line is one live line at the bottom that
// the log lines scroll above; elsewhere each new status is a line of its own.
#include <iosfwd>
#include <string>
#include <string_view>

namespace companion {

class RunView {
  public:
    // Status lines go to `out`, the program's log lines to `err`. `terminal`:
    // both are the same terminal.
    RunView(std::ostream& out, std::ostream& err, bool terminal);

    // print_status changed.
    void Status(const std::string& text);
    // Bytes the program wrote on its standard error.
    void LogData(std::string_view bytes);
    // The program has written nothing for a moment: an unfinished line is a
    // question waiting for an answer, so show it now.
    void Quiet();
    // The program has ended: show what is left and leave the live line.
    void Finish();

  private:
    void ClearLive();
    void DrawLive();
    void WriteLog(std::string_view text);

    std::ostream& out_;
    std::ostream& err_;
    bool terminal_;
    std::string status_;
    bool liveShown_ = false;
    std::string pending_;        // the start of a line not yet ended
    bool pendingShown_ = false;  // that start is on the screen already
};

}  // namespace companion
