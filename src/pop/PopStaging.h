#pragma once
// Crash-safe hand-over of POP downloads to the In folder.
//
// A message is downloaded into a hidden folder of In/ (".pop/"), first under
// a ".part" name and, once whole, under a ".TXT" name. Whole messages always
// reach In/, whatever becomes of the session; only when the server accepted
// QUIT are they known to be gone from it. Every other message that reaches
// In/ (the session failed, was killed, or the server refused its DELE) is
// remembered first, by a digest of its content: when the server hands it out
// again, the copy is recognised, dropped and deleted on the server, so that
// no message is delivered twice and none waits for a later session that
// might never get past a message that keeps failing.
//
// The remembered list ("uncertain") is private to the user (0600) and stays
// small: an entry goes once its message is deleted for certain, when the
// server's unique-ids show it gone, when a whole mailbox was seen without it,
// or after kRememberDays.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace config {
struct RunGlobals;
}
namespace platform {
class Log;
}

namespace pop {

class PopStaging {
  public:
    static constexpr int kRememberDays = 30;

    // Uses the run's In folder and failure record, and the run log (what
    // could not be moved or written).
    PopStaging(config::RunGlobals& run, platform::Log& log);

    // Makes the staging folder, loads the remembered list, drops partial
    // downloads and delivers the whole ones that an earlier session left
    // (remembering them: the server may still hold them). `now` is the
    // wall-clock time in seconds, for the age of entries.
    void Open(std::int64_t now);

    // Where message `number` of this session is downloaded to.
    std::string PartFor(int number) const;
    // The staging folder, ending in "/".
    const std::string& Folder() const { return dir_; }

    // Message `number` is whole in its part file, `uid` its unique-id (""
    // when unknown). New: it is staged for In/. Copy: it is a copy of a
    // remembered message and dropped here (In/ has it already). Either way
    // the caller deletes it on the server. Failed: it could not be kept
    // (logged); it must stay on the server.
    enum class Arrival { New, Copy, Failed };
    Arrival Whole(int number, const std::string& uid);

    // The server accepted DELE of message `number`.
    void Deleted(int number);

    // The server's unique-ids, by message number, as UIDL gave them (none
    // when it gave none): remembered messages whose id is not among them are
    // gone and forgotten.
    void OnServer(const std::vector<std::string>& uids);

    // Makes every staged download durable, before QUIT lets the server
    // delete the originals. False (with the reason logged) when it cannot.
    bool Sync();

    // The server accepted QUIT. `sawAll`: every message of the mailbox was
    // downloaded in this session, so a remembered message that was not among
    // them is gone. Whole downloads reach In/; one whose DELE was refused is
    // remembered first.
    void QuitConfirmed(bool sawAll);

    // The session is over without a confirmed QUIT: every whole download is
    // remembered and reaches In/. Also safe after QuitConfirmed.
    void Close();

    // Where the whole download of message `number` is staged.
    std::string StagedFor(int number) const;
    // Downloads of this session (or an earlier one) that could not be handed
    // over to In/ and wait in the staging folder for the next session.
    std::size_t Undelivered() const { return undelivered_; }

    // Told of each staged file that reached In/: its staged path and its
    // path in In/.
    std::function<void(const std::string& from, const std::string& to)> movedIntoIn;

    // Moves a staged file to a name in In/ without replacing a file there;
    // replaceable so that tests can make it fail. Returns 0 or an errno value
    // (EEXIST: the name is taken).
    std::function<int(const std::string& from, const std::string& to)> moveFile;

  private:
    struct Remembered {
        std::string digest;
        std::int64_t since = 0;
        std::string uid;
        bool matched = false;  // recognised in this session
        bool deleted = false;  // and its DELE accepted
        bool drop = false;     // gone from the server, or too old
    };
    struct Staged {
        int number = 0;
        std::string name;  // in the staging folder; "" for a dropped copy
        std::string uid;
        int entry = -1;  // the remembered message it is a copy of
        bool deleted = false;
    };

    // Hands the staged files over to In/; `remember` decides which of them
    // are listed first. Files that could not be listed or moved stay staged
    // for the next session.
    void Deliver(const std::function<bool(const Staged&)>& remember);
    bool SaveList();
    void DropOldEntries();
    bool MoveIntoIn(const std::string& name);
    Staged* Find(int number);

    std::string List() const { return dir_ + "uncertain"; }

    config::RunGlobals& run_;
    platform::Log& log_;
    std::string inDir_;
    std::string dir_;    // the staging folder, ending in "/"
    std::string token_;  // begins this session's file names
    std::int64_t now_ = 0;
    std::vector<Remembered> list_;
    bool listChanged_ = false;
    std::vector<Staged> staged_;
    std::size_t undelivered_ = 0;
};

}  // namespace pop
