#pragma once
// Turns the message files that the POP client saved in the In folder into
// messages of the store's inbox.
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/MailStore.h"

namespace config {
struct RunGlobals;
}
namespace platform {
class EventLoop;
class Log;
}  // namespace platform

namespace convert {

enum class Outcome {
    Stored,     // the message is in the inbox, durably
    NotStored,  // nothing of it is in the store
};

struct ConvertResult {
    Outcome outcome = Outcome::Stored;
    std::string what;       // when not stored: what could not be done, where and why
    int error = 0;          // the errno behind it, when a system call failed
    std::size_t bytes = 0;  // the message file's size
    std::string origin;     // when stored: the digest of the file it came from
};

// What a conversion uses of the run: the store and its inbox, the event loop
// it yields to between lines, the run log, the run's In/ and temp/ folders
// with its failure, last error and figures, and the subscriber's address
// that every converted message is addressed to.
struct Conversion {
    platform::MailStore& store;
    platform::FolderId inbox;
    platform::EventLoop& loop;
    platform::Log& log;
    config::RunGlobals& run;
    std::string subscriber;
};

// Conversion of downloads while the session that brings them goes on: each
// new message is converted from its staged file as soon as it is whole,
// while the server sends the next one, and the inbox is synced by batches.
// The file stays where the download put it and reaches In/ as any other;
// the In/ pass after the session deletes the file of each message whose
// batch is durable without reading it again, and converts the rest as
// usual. A conversion that fails here is simply left to that pass.
//
// Before the first such message can reach the store, a journal of its own
// (kEarlyJournal in In/) is made durable: a run that dies before these
// files are gone leaves it, and until a later session's In/ pass has looked
// for their messages no file is converted a second time. Each batch, once
// durable in the store, adds its files' digests to the journal: such a file
// is known stored even when its message has left the inbox since (filed by
// a walk of a run that could not fetch). Every In/ pass checks its files
// against that list and the inbox while the journal is there; only the pass
// after a session removes it, since files of a session that died reach In/
// only when the next one starts.
class EarlyConversion {
  public:
    explicit EarlyConversion(const Conversion& c);
    EarlyConversion(const EarlyConversion&) = delete;
    EarlyConversion& operator=(const EarlyConversion&) = delete;

    // Converts the whole download in `path` into the inbox.
    void Take(const std::string& path);
    // The file at `from` is now at `to`.
    void Moved(const std::string& from, const std::string& to);
    // Some download could not be handed over to In/ this session: it may be
    // one taken here, or by a run that died, so the journal stays.
    void KeepJournal() { keepJournal_ = true; }

    // For the In/ pass: makes the messages taken since the last batch
    // durable (false when the sync failed: none of them is stored), and
    // whether the message of the file at `path` is stored durably.
    bool Settle();
    bool Durable(const std::string& path) const;
    // The file of a durable message is deleted.
    void Gone(const std::string& path);
    // A journal of a run that died was there when this one began.
    bool FoundJournal() const { return found_; }
    // Removes the journal once every file taken is gone and nothing failed.
    void EndJournal();
    std::size_t Taken() const { return taken_.size(); }

  private:
    struct Message {
        std::string path;
        std::string origin;  // the file's digest
        std::size_t bytes = 0;
        bool durable = false;
        bool gone = false;
    };
    bool JournalReady();
    void ListStored(const std::string& digests);

    Message* Find(const std::string& path);
    const Message* Find(const std::string& path) const;

    Conversion c_;
    std::string journal_;
    bool found_ = false;
    bool written_ = false;
    bool failed_ = false;  // the journal could not be written, or a sync failed
    bool keepJournal_ = false;
    std::vector<Message> taken_;
    std::unordered_map<std::string, std::size_t> byPath_;  // into taken_
    std::size_t batchFrom_ = 0;  // taken_[batchFrom_..] are not yet synced
    std::size_t batchBytes_ = 0;
};

// Converts every "*.txt" file (any case) of the In folder into one inbox
// message and deletes the file once its message is stored. A file whose
// conversion fails stays for the next run; one that fails three runs in a
// row for a reason of its own is moved to In/Unconvertible/ (see
// kSetAsideFolder) with a note saying why. `early`: what the session before
// this pass converted already.
void ProcessInMessages(const Conversion& c, EarlyConversion* early = nullptr);

// Converts one saved message file into one new inbox message.
ConvertResult ProcessMessage(const Conversion& c, const std::string& path);

// Where In/ keeps the files that failed to convert too often, and the private
// file that counts each file's failed runs ("<count> <name>" per line).
inline constexpr const char* kSetAsideFolder = "Unconvertible";
inline constexpr const char* kFailureCountFile = ".convert-failures";
inline constexpr int kSetAsideAfter = 3;
// The journals of In/: of an In/ pass, and of conversion during a session.
inline constexpr const char* kJournal = ".converting";
inline constexpr const char* kEarlyJournal = ".converting-early";
// A file of In/ being deleted is named "." + its name + this.
inline constexpr const char* kDeletingSuffix = ".deleting";

}  // namespace convert
