#pragma once
// INI files as the scheduler and the program share them: every read sees the
// file as it stands on disk, every write is atomic (temp file + rename) and is
// made under an exclusive flock on "<file>.lock", so that two writers never
// lose each other's keys. Lines a write does not touch stay byte for byte.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace platform {

// Low-level INI access on any file.
namespace ini {
// Value of [section] key= in the file's text, surrounding blanks removed;
// nullopt when the section or key is absent. Names compare without case.
std::optional<std::string> Lookup(std::string_view text, std::string_view section,
                                  std::string_view key);
// One line of a file that is neither blank, a comment nor a [section]: a
// key=value line, or a line without "=" that a reader ignores (odd).
struct EntryLine {
    std::string section;  // the section it stands in, as written
    std::string key;      // blanks around removed; "" for an odd line
    std::string value;    // blanks around removed, a comment after it kept
    int line = 0;         // from 1
    bool odd = false;
};
// Every such line in file order.
std::vector<EntryLine> Entries(std::string_view text);
// Section names in file order, as written.
std::vector<std::string> Sections(std::string_view text);
// The text with [section] key set to value (section and key added if absent).
std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value);
// Sets a key of a file under the lock, atomically. False on any failure, and
// when the file is there but cannot be read: writing it back would lose
// every other key. With Links::Follow a link at the path stays a link and
// the file it leads to is written; with Links::Refuse the link is replaced.
bool WriteKey(const std::string& path, std::string_view section, std::string_view key,
              std::string_view value, Links links = Links::Refuse);
// Removes what writers killed half-way left beside the file (see
// RemoveStaleCopies), under the file's lock; nothing when a writer holds it.
void RemoveStaleCopies(const std::string& path, Links links);
// Drops an inline "; comment" (preceded by a blank) and trims: for our own
// option files, where users write comments after values.
std::string StripComment(std::string_view value);
}  // namespace ini

// The desktop profile file and the named-file writes of the account file.
// Both are written 0600: the profile file holds the mailbox password.
class ProfileStore {
  public:
    explicit ProfileStore(std::string desktopProfilePath);

    // Copies the value (or the default when the key or section is absent) into
    // buf, cut to size-1 characters; returns the number of characters copied.
    int GetProfileStringA(std::string_view section, std::string_view key, std::string_view def,
                          std::string& buf, int size = 255) const;
    // Nonzero on success.
    int WriteProfileStringA(std::string_view section, std::string_view key, std::string_view value);
    int WritePrivateProfileStringA(std::string_view section, std::string_view key,
                                   std::string_view value, const std::string& path);

    const std::string& path() const { return path_; }
    // How often a read had to load the file from disk (tests).
    int FileLoads() const { return loads_; }

    // Called after every write of the desktop profile file (section, key,
    // value), for tests that check the order in which keys are written.
    std::function<void(std::string_view, std::string_view, std::string_view)> onWrite;

  private:
    // The file's text as last loaded, with the identity it had then.
    struct Snapshot {
        bool exists = false;
        unsigned long long dev = 0, ino = 0;
        long long size = 0, mtimeNs = 0, ctimeNs = 0;
        std::string text;
    };
    const Snapshot& Current() const;

    std::string path_;
    mutable std::optional<Snapshot> snap_;
    mutable int loads_ = 0;
};

}  // namespace platform
