#pragma once
// File-system side of the Maildir store: folder layout, folder and message
// IDs, folder-name escaping, unique message names, flags in the ":2," info
// part, listings.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSyncer.h"
#include "platform/Result.h"

namespace platform::maildir {

struct Entry {
    std::string sub;   // "new" or "cur"; "tmp" for a message stored but not yet synced
    std::string name;  // file name in it
};

// A message written into a folder's tmp/ that its next sync puts in place.
struct Pending {
    std::string base;               // its name in tmp/
    Entry at;                       // where the sync puts it
    FileSyncer::Ticket ticket = 0;  // its sync by the store's syncer
};

// What the store keeps while a profile is logged on.
struct StoreState {
    explicit StoreState(FileSyncer::Mode syncs) : syncer(syncs) {}

    std::string root;     // the profile's Maildir, absolute
    std::string profile;  // the profile name as written in stores.ini
    std::uint64_t counter = 0;
    // Messages stored but not yet synced, by the folder's Maildir: they wait
    // in its tmp/ until the folder's next sync.
    std::map<std::string, std::vector<Pending>> unsynced;
    // How many of a folder's unsynced messages (the first ones) were sealed
    // for a sync in the background.
    std::map<std::string, std::size_t> sealed;
    // A sync that failed on its own (a listing or a change syncs first), by
    // the folder's Maildir: the folder's next Sync reports it, so that its
    // caller never takes the messages it lost for stored.
    std::map<std::string, Status> failedSync;
    // Where each message last listed, stored or renamed here was, by its ID:
    // found again without a folder scan when its flags changed its name.
    std::map<std::string, Entry> known;
    // Sub-folders (".../new", ".../cur") that are on disk as they stand:
    // synced in this logon, and nothing renamed into or out of them since.
    std::set<std::string> settled;
    // Makes the messages' files durable while the next ones are written.
    FileSyncer syncer;

    // The Maildir folder an ID names, when it lies in this tree and exists.
    std::optional<std::string> FolderDir(const std::string& folderId) const;
};

// A message's ID is its folder's Maildir and its base name; this splits one.
bool SplitMessageId(const std::string& id, std::string& dir, std::string& base);

// Creates dir (and missing parents) 0700 plus cur/ new/ tmp/.
Status MakeMaildir(const std::string& dir);
bool IsMaildir(const std::string& dir);

// Maildir++ uses "." between folder levels, so a folder name keeps ".", "/",
// "%" and control bytes as %XX; "" and names that would not fit a file name fail.
Result<std::string> EscapeFolderName(std::string_view name);
std::string UnescapeFolderName(std::string_view component);

// A name no other delivery can pick: time, microseconds, pid, a per-store
// counter, random bits and the host.
std::string UniqueName(std::int64_t seconds, std::uint64_t counter);
// The Message-Id (without its angle brackets) of the message stored under a
// unique name: as unique as the name, at no cost of its own.
std::string MessageIdFor(std::string_view base);
// The MIME boundary of that message's parts: "=-" and the name's unique
// part. No base64 line and no header line begins with "--=-".
std::string BoundaryFor(std::string_view base);

// "base:2,FS" -> base; flags "FS". A name without info has no flags.
std::string BaseOf(std::string_view fileName);
std::string FlagsOf(std::string_view fileName);
// Flags with one flag added or removed, kept in ASCII order.
std::string WithFlag(std::string flags, char flag, bool on);

// Leading decimal seconds of a delivery name ("1700000000.M1P2.host").
std::optional<std::int64_t> DeliveryTimeOf(std::string_view fileName);

// Messages of a Maildir folder in delivery order (time in the name, then name).
std::vector<Entry> ListMessages(const std::string& dir);
// Where the message with this base name is now (another reader may have
// moved it from new/ to cur/ or changed its flags).
std::optional<Entry> Locate(const std::string& dir, std::string_view base);

// Renames without replacing an existing file; errno on failure.
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace platform::maildir
