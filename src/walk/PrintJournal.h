#pragma once
// What became of each fax the walk began to print, kept from run to run in a
// small file of the program folder until the fax is filed: each document's
// outcome as it leaves for the printer, then the fax's verdict. A run that
// ends between printing a fax and filing it (killed, or the move into its
// folder failed) leaves the next run what it needs to print nothing twice,
// file the fax under the same verdict and answer its sender with the same
// disposition.
//
// The file is a list of lines appended one write at a time, so a kill never
// splits one; it is rewritten at the start of each walk with the records of
// the messages still in the inbox only.
#include <map>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Result.h"

namespace walk {

// A short name for a message ID that stays the same across runs: its
// FNV-1a digest, 16 hex digits.
std::string MessageDigest(const std::string& id);

struct DocumentRecord {
    enum class State { Unknown, Printed, Failed };
    State state = State::Unknown;
    int pages = 0;       // Printed: pages that went to the printer
    std::string report;  // Failed: the report's word for it ("Too many pages", ...)
};

enum class Verdict { None, Printed, Unprintable };

struct FaxRecord {
    std::vector<DocumentRecord> documents;  // by document number, from 0
    Verdict verdict = Verdict::None;

    const DocumentRecord* Document(int n) const {
        return n >= 0 && n < static_cast<int>(documents.size()) ? &documents[n] : nullptr;
    }
    int PagesPrinted() const;
};

class PrintJournal {
  public:
    // path: the file ($VOXAFAX_HOME/printing); what it holds is read now.
    // A journal that only reads (a reprint, a print test) never writes it.
    PrintJournal(std::string path, bool readOnly);

    // The record of a message (by its ID), or nullptr when no run began it.
    const FaxRecord* Find(const std::string& id) const;

    // Keeps the records of these messages only and rewrites the file with
    // them: the others were filed (or taken away) since.
    platform::Status Keep(const std::vector<std::string>& ids);
    // Whether Keep would forget a record (and write the file).
    bool Forgets(const std::vector<std::string>& ids) const;

    // Each step of a fax, written before the step that depends on it. A
    // failure to write is a storage failure: the walk must stop.
    platform::Status Begin(const std::string& id);
    platform::Status Printed(const std::string& id, int document, int pages);
    platform::Status Failed(const std::string& id, int document, const std::string& report);
    // Reaches the disk before it returns (when holding: with Commit): the
    // receipt and the move follow.
    platform::Status Decide(const std::string& id, Verdict verdict);

    // Holding: the lines wait in memory (the records take them at once)
    // until Commit writes them and syncs them in one go. A walk holds while
    // its printer holds the documents: a line must not reach the disk
    // before the document it tells of.
    void Hold(bool on) { holding_ = on; }
    bool Holding() const { return holding_; }
    platform::Status Commit();
    // Forgets the lines not written yet.
    void DropHeld() { held_.clear(); }

    // Whether document n of the message whose key ends with `shortKey` (the
    // last 12 of its 16 digits, as in document keys) is recorded printed.
    bool DocumentPrinted(const std::string& shortKey, int n) const;

    const std::string& path() const { return path_; }

  private:
    static std::string Key(const std::string& id);
    void Apply(const std::string& line);
    platform::Status Append(const std::string& id, const std::string& event, bool sync = false);

    std::string path_;
    bool readOnly_;
    std::map<std::string, FaxRecord> records_;  // by key
    bool holding_ = false;
    std::string held_;  // lines not written yet
    platform::UniqueFd fd_;
};

}  // namespace walk
