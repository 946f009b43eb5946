#pragma once
// Printing with shared syncs. While a walk holds, a folder printer keeps the
// documents of each fax under hidden names and the print journal keeps its
// lines in memory; a commit makes a batch of faxes durable in the one order
// that neither loses nor doubles a print after a crash or a power failure:
// the documents, then the journal's lines, then the documents' names, then
// (by the walk) the faxes' moves. A run that dies before a commit leaves
// only hidden files, which the next walk removes, and prints those faxes
// again; one that dies after the journal's lines reached the disk leaves
// hidden files that the next walk names.
#include <chrono>
#include <string>

#include "platform/Clock.h"
#include "platform/Printers.h"
#include "platform/Result.h"
#include "walk/PrintJournal.h"

namespace walk {

class HeldPrints {
  public:
    HeldPrints(platform::Printers& printers, PrintJournal& journal, const platform::Clock& clock)
        : printers_(printers), journal_(journal), clock_(clock) {}

    // Names the hidden documents of an earlier walk on this journal that the
    // journal records printed, and removes the others. Before the journal
    // forgets anything.
    platform::Status Recover();
    // Starts holding, when the printers can.
    void Hold();
    bool Holding() const { return holding_; }
    // One more fax handled: whether its batch is due for a commit (full, a
    // second old, or a document went out at once and its record must reach
    // the disk).
    bool Due();
    // Makes the batch durable. On failure holding stops and the batch's
    // moves must not be made: its faxes stay in the inbox for the next run.
    platform::Status Commit();
    // Stops holding; anything held that was not committed stays hidden.
    void End();

  private:
    // Faxes whose documents share a commit: bounds what a crash prints
    // again and how long a document waits before it appears.
    static constexpr int kFaxesPerCommit = 64;
    // A person waiting at the printer's folder sees each fax within about
    // this long.
    static constexpr std::chrono::milliseconds kLongestWait{1000};

    std::string Tag() const;

    platform::Printers& printers_;
    PrintJournal& journal_;
    const platform::Clock& clock_;
    bool holding_ = false;
    int faxes_ = 0;
    platform::SteadyTime since_{};  // when the batch's first fax was handled
};

}  // namespace walk
