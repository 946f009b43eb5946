#pragma once
// Printed PDF documents as files in a folder printer's folder, named
// yyyymmdd-hhmmss-nnnnnn[-key].pdf so that the names sort in the order
// printed. A document is either named at once, its contents synced first, or
// held: kept under a hidden name (".vfheld-<tag>-<key>.held") until a batch
// of held documents is synced together and then named, so that printing many
// faxes costs a few syncs per batch instead of one per document.
#include <functional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

class FolderDelivery {
  public:
    // Names the file's contents in dir now, synced before the name exists:
    // a name never stands for a document whose pages are not on disk. The
    // path in `final`.
    Status Deliver(const std::string& dir, const std::string& pdfPath, const std::string& key,
                   std::string& final);

    // Holding under `tag` (letters and digits) starts; "" stops it.
    void Hold(std::string tag) { tag_ = std::move(tag); }
    bool Holding() const { return !tag_.empty(); }

    // Keeps the file's contents under the hidden name of `key` in dir, and
    // starts writing them back, so that the batch's syncs find them written.
    Status Keep(const std::string& dir, const std::string& pdfPath, const std::string& key);
    // The held files' contents and hidden names on disk.
    Status SyncHeld();
    // Each held file under its name in printing order, then the names on
    // disk. What failed to be named stays held (and hidden).
    Status NameHeld();
    // Forgets the held files; they stay hidden for Recover.
    void DropHeld() { held_.clear(); }

    // The hidden files of `tag` in dir that a run left: named when
    // `printed` accepts their key, removed otherwise.
    Status Recover(const std::string& dir, const std::string& tag,
                   const std::function<bool(const std::string& key)>& printed);

  private:
    struct Held {
        std::string dir;
        std::string path;  // the hidden name
        std::string key;
    };
    Status NameInFolder(const std::string& file, const std::string& dir, const std::string& key,
                        std::string& final);
    static std::string HiddenPrefix(const std::string& tag) { return ".vfheld-" + tag + "-"; }

    std::vector<Held> held_;
    std::string tag_;
    std::string seqPrefix_;  // the second the last PDF was named in
    long seq_ = 0;           // its number within that second
};

}  // namespace platform
