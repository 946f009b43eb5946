#pragma once
// The mail store as the program sees it: one driver with a dozen operations
// on plain structs. The real store keeps a Maildir++ tree per profile; the
// fake keeps everything in memory for tests.
//
// Ownership: the store owns its folders and messages. Callers hold only their
// IDs (opaque texts) and plain copies: a loaded message is a snapshot that
// later operations do not change, and an ID stays valid until the message is
// moved (a move gives it a new one). Files that a caller names (attachment
// contents to store, a file to write an attachment to) stay the caller's; the
// store reads or writes them during the call only. One profile is logged on
// at a time; every operation but Logon fails while none is.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// 30 Dec 1899 00:00 UTC: the zero date that stands for "no date".
inline constexpr std::int64_t kZeroDateUnix = -2209161600;

// The store's display form of a time: "MM/DD/YYYY hh:mm:ss AM", local time
// (the zero date is shown as itself in every zone).
std::string FormatStoreTime(std::int64_t unixSeconds);

using FolderId = std::string;
using MessageId = std::string;

// Marks that survive a kill between handling a message and filing it: the
// inbox walk sets one durably before the step it guards, and a later run that
// finds it files the message without printing or answering it again.
enum class MessageMark {
    Printed,   // its faxes went to the printer
    Answered,  // its receipt was queued
};

enum class RecipientKind { To, Cc, Bcc };

struct Recipient {
    std::string name;  // the whole mailbox text: display name and address
    RecipientKind kind = RecipientKind::To;
};

struct Attachment {
    std::string name;    // as it was stored; an outside message's file name
    std::string source;  // as it was stored; an outside message's file name
};

// A stored message as Load reads it.
struct StoredMessage {
    MessageId id;
    std::string type = "IPM.Note";  // the message class
    std::string subject;
    std::string senderAddress;
    std::vector<Recipient> recipients;
    // Display form ("MM/DD/YYYY hh:mm:ss AM"); "" when the message has none.
    std::string timeReceived;
    std::string timeSent;
    std::string text;  // "" when the message has no text
    std::vector<Attachment> attachments;
    std::string header;  // the whole header block as received, lines ending in CR LF
    // What the conversion could not carry into the message (parts left out
    // and why); "" when nothing.
    std::string note;
    // A digest of the file the message was converted from; "" when none.
    std::string origin;
    std::set<MessageMark> marks;
    bool unread = true;

    bool Marked(MessageMark m) const { return marks.count(m) > 0; }
};

// One attachment of a new message: its content is the bytes [offset,
// offset + length) of `file` (length -1: to the end of the file; no file:
// no content), read while the message is stored.
struct NewAttachment {
    std::string name;
    std::string source;
    std::string file;
    std::int64_t offset = 0;
    std::int64_t length = -1;
    // The bytes are the content in base64 as a store keeps it: lines of at
    // most 76 alphabet characters, each ending in LF, padding only at the
    // end. A store that keeps contents in base64 takes them as they are.
    bool base64 = false;
};

struct NewRecipient {
    std::string address;  // "SMTP:" & address; the prefix is not stored
    RecipientKind kind = RecipientKind::To;
};

// A message to store.
struct NewMessage {
    std::string senderName;  // a mailbox text: display name and address
    std::string subject;
    std::optional<std::int64_t> timeReceived;  // none: when it is stored
    std::optional<std::int64_t> timeSent;      // Unix seconds; kZeroDateUnix for no date
    std::optional<std::string> text;           // none: no text part at all
    bool unread = true;
    std::string note;    // see StoredMessage::note
    std::string origin;  // see StoredMessage::origin
    std::vector<NewRecipient> recipients;
    std::vector<NewAttachment> attachments;
};

struct Logon {
    std::string profile;  // the profile's name as the store writes it
    FolderId inbox;
};

class MailStore {
  public:
    virtual ~MailStore() = default;

    // Logs on to a profile (names compared without regard to case), logging
    // off any other first. On failure a user at a terminal may pick one of
    // the configured profiles when interactive is true; the Status says what
    // to change, and is Fail::NotFound when the profile does not exist.
    virtual Result<Logon> LogOn(const std::string& profile, bool interactive) = 0;
    virtual void LogOff() = 0;
    // Lets the store's own transport fetch new mail into the inbox before it
    // returns.
    virtual Status DeliverNow() = 0;

    // The folder at this path of names under the root folder (each compared
    // exactly), made with its missing parents.
    virtual Result<FolderId> Folder(const std::vector<std::string>& path) = 0;
    // The messages of a folder now, in the order they arrived.
    virtual Result<std::vector<MessageId>> List(const FolderId& folder) = 0;
    virtual Result<StoredMessage> Load(const MessageId& id) = 0;
    // Writes the content of attachment `index` (into Load's list) to a file,
    // replacing it, byte for byte as it was stored.
    virtual Status WriteAttachment(const MessageId& id, std::size_t index,
                                   const std::string& path) = 0;

    // Stores a new message in the folder, all of it or nothing. It is in the
    // folder, durably, once Sync has returned: many messages are stored at
    // the cost of one sync. Until then it can be loaded by its ID, and an
    // operation that lists the folder or changes the message syncs first.
    virtual Result<MessageId> Store(const FolderId& folder, const NewMessage& message) = 0;
    // Makes the messages stored in the folder since its last sync durable and
    // puts them in the folder (when it fails none of them is stored), and
    // makes every move into or out of the folder durable, also one that an
    // earlier logon made and never synced.
    virtual Status Sync(const FolderId& folder) = 0;
    // A sync in the background, for a caller with more to store meanwhile:
    // Seal marks the messages stored in the folder so far, and SyncSealed
    // stores those as Sync does once their contents are on the disk. Without
    // `wait` it returns false while they are not; with it, it waits for
    // them. What is stored after the mark waits for the next sync. A store
    // that cannot sync in the background syncs when sealing.
    virtual Status Seal(const FolderId& folder) { return Sync(folder); }
    virtual Result<bool> SyncSealed(const FolderId& folder, bool wait) {
        (void)folder;
        (void)wait;
        return true;
    }

    // Durable when it returns.
    virtual Status Mark(const MessageId& id, MessageMark mark) = 0;
    virtual Status SetUnread(const MessageId& id, bool unread) = 0;
    // Moves a message into a folder; its new ID. The move is durable once
    // both folders have been synced: many moves share their syncs. Until
    // then a crash may leave the message where it was.
    virtual Result<MessageId> Move(const MessageId& id, const FolderId& to) = 0;
};

}  // namespace platform
