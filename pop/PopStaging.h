#pragma once
// Crash-safe hand-over of POP downloads to the In folder.
//
// Messages are downloaded into a hidden folder of In/ (".pop/") and reach In/
// itself only once the server has been told to delete them (QUIT). A run
// killed before that leaves the messages on the server and nothing in In/,
// so the next run neither loses nor doubles a fax. A marker file says that
// QUIT was sent: from then on the server may have deleted the messages, so
// the staged files must be kept. When QUIT's answer never came, the files
// are delivered and remembered by digest, and a copy that the server hands
// out again later is recognised and dropped.
#include <string>

namespace pop {

class PopStaging {
  public:
    // `inDir` is the In folder, ending in "/".
    explicit PopStaging(std::string inDir);

    // Makes the staging folder and settles what an earlier session left
    // there: delivered to In/ when its QUIT was sent, dropped otherwise (the
    // server still holds those messages).
    void Open();

    // Where message `number` of this session is downloaded to.
    std::string FileFor(int number) const;

    // A message has been saved whole at `path`. A copy of one delivered
    // after an unanswered QUIT is deleted again: its DELE still removes it
    // from the server, and In/ already has it.
    void Downloaded(const std::string& path) const;

    // Records durably, before QUIT goes out, that it is about to be sent;
    // false when the record could not be made (QUIT must not be sent then).
    bool MarkQuitSent() const;

    // The server accepted QUIT: this session's files reach In/, and nothing
    // delivered earlier can come back.
    void QuitConfirmed() const;

    // The session is over, whatever its outcome: the same settling as Open.
    void Close() const { Settle(); }

  private:
    void Settle() const;
    void Promote(bool certain) const;
    void Drop() const;
    bool ListedAsUncertain(const std::string& digest) const;
    // Present from just before QUIT is sent until the files reached In/.
    std::string Marker() const { return dir_ + "quit-sent"; }
    // Digests of messages delivered after a QUIT whose answer never came.
    std::string UncertainList() const { return dir_ + "uncertain"; }

    std::string inDir_;
    std::string dir_;  // the staging folder, ending in "/"
};

}  // namespace pop
