#pragma once
// The mail store as the program sees it: sessions, info stores, folders,
// messages, attachments and recipients, each operation reporting failure by
// its result. The real store keeps a Maildir++ tree per profile; the fake
// keeps everything in memory for tests.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// 30 Dec 1899 00:00 UTC: the zero date that stands for "no date".
inline constexpr std::int64_t kZeroDateUnix = -2209161600;

// The store's display form of a time: "MM/DD/YYYY hh:mm:ss AM", local time
// (the zero date is shown as itself in every zone).
std::string FormatStoreTime(std::int64_t unixSeconds);

class MailFolder;
class MailMessage;

// Marks that survive a kill between handling a message and filing it: the
// inbox walk sets one durably before the step it guards, and a later run that
// finds it files the message without printing or answering it again.
enum class MessageMark {
    Printed,   // its faxes went to the printer
    Answered,  // its receipt was queued
};

class MailAttachment {
  public:
    virtual ~MailAttachment() = default;
    virtual Result<std::string> Name() = 0;
    virtual Result<std::string> Source() = 0;
    // Writes the content, byte for byte, to a file (replacing it).
    virtual Status WriteToFile(const std::string& path) = 0;

    // Building a new message's attachment (before the message's Update).
    virtual Status SetType(int type) = 0;  // 1: file data
    virtual Status SetPosition(int position) = 0;
    virtual Status SetName(const std::string& name) = 0;
    virtual Status SetSource(const std::string& source) = 0;
    // The file's bytes become the content; streamed, never held whole.
    virtual Status ReadFromFile(const std::string& path) = 0;
    // The file holds the content in base64: a store that keeps contents in
    // base64 may take the text as it is rather than decode it and encode it
    // again. Fails with Fail::Format, leaving the attachment as it was, when
    // the store does not take encoded contents or the text is not plain
    // well-formed base64; the caller then decodes it and uses ReadFromFile.
    virtual Status ReadFromBase64File(const std::string& /*path*/) {
        return Status::Error(Fail::Format, "encoded contents are not taken");
    }
};

class MailRecipient {
  public:
    virtual ~MailRecipient() = default;
    // The whole mailbox text: display name and address.
    virtual Result<std::string> Name() = 0;
    virtual Status SetAddress(const std::string& address) = 0;  // "SMTP:" & address
    virtual Status SetType(int type) = 0;                       // 1 To, 2 Cc, 3 Bcc
};

class MailMessage {
  public:
    virtual ~MailMessage() = default;

    virtual Result<std::string> ID() = 0;
    virtual Result<std::string> Type() = 0;  // message class; "IPM.Note" when none
    virtual Result<std::string> Subject() = 0;
    virtual Status SetSubject(const std::string& subject) = 0;
    virtual Result<std::string> Text() = 0;  // "" when the message has no text
    virtual Status SetText(const std::string& text) = 0;
    virtual Result<std::string> SenderAddress() = 0;
    virtual Status SetSenderName(const std::string& name) = 0;
    // Times as text in the store's display form ("MM/DD/YYYY hh:mm:ss AM").
    virtual Result<std::string> TimeReceived() = 0;
    virtual Result<std::string> TimeSent() = 0;
    // Seconds since the Unix epoch, local time interpretation left to the store.
    virtual Status SetTimeReceived(std::int64_t unixSeconds) = 0;
    virtual Status SetTimeSent(std::int64_t unixSeconds) = 0;
    virtual Status SetUnread(bool unread) = 0;
    // A note the conversion leaves with a message for the inbox walk: what it
    // could not carry into the message (parts left out and why); "" when none.
    virtual Result<std::string> Note() = 0;
    virtual Status SetNote(const std::string& note) = 0;  // new messages only
    // Durable when it returns (stored messages only).
    virtual Status SetMark(MessageMark mark) = 0;
    virtual Result<bool> HasMark(MessageMark mark) = 0;

    virtual Result<int> RecipientCount() = 0;
    virtual Result<std::shared_ptr<MailRecipient>> Recipient(int index) = 0;  // from 1
    virtual Result<std::shared_ptr<MailRecipient>> AddRecipient() = 0;

    virtual Result<int> AttachmentCount() = 0;
    virtual Result<std::shared_ptr<MailAttachment>> Attachment(int index) = 0;  // from 1
    virtual Result<std::shared_ptr<MailAttachment>> AddAttachment() = 0;

    // Field item i (from 1) read as text; item 25 is the whole header block
    // as received.
    virtual Result<std::string> Field(int index) = 0;

    // Saves a new message into its folder (atomically: tmp/, then new/).
    virtual Status Update() = 0;
    // Saves a new message like Update, except that its entry in the folder
    // is durable only once the folder's SyncNew has returned: many messages
    // saved at the cost of one folder sync.
    virtual Status UpdateUnsynced() { return Update(); }
    virtual Status MoveTo(const std::string& folderId) = 0;
};

class MailFolder {
  public:
    virtual ~MailFolder() = default;
    virtual Result<std::string> Name() = 0;
    virtual Result<std::string> ID() = 0;
    virtual Result<int> FolderCount() = 0;
    virtual Result<std::shared_ptr<MailFolder>> Folder(int index) = 0;  // from 1
    virtual Result<std::shared_ptr<MailFolder>> AddFolder(const std::string& name) = 0;
    // Messages as listed when the count is read; items keep their positions
    // until the next count.
    virtual Result<int> MessageCount() = 0;
    virtual Result<std::shared_ptr<MailMessage>> Message(int index) = 0;  // from 1
    // A new, empty message of this folder; stored by its Update.
    virtual Result<std::shared_ptr<MailMessage>> AddMessage() = 0;
    // Makes the entries of the messages saved with UpdateUnsynced durable.
    // When it fails they are taken back out of the folder: none of them is
    // stored.
    virtual Status SyncNew() { return Status::Ok(); }
};

class MailInfoStore {
  public:
    virtual ~MailInfoStore() = default;
    virtual Result<std::string> ID() = 0;
    virtual Result<std::shared_ptr<MailFolder>> RootFolder() = 0;
};

class MailSession {
  public:
    virtual ~MailSession() = default;
    // On a failed logon the store may let a user at a terminal pick one of the
    // configured profiles when interactive is true.
    virtual Status Logon(const std::string& profileName, bool interactive) = 0;
    virtual Result<std::string> Name() = 0;  // the profile logged on to
    virtual Result<std::shared_ptr<MailFolder>> Inbox() = 0;
    virtual Result<int> InfoStoreCount() = 0;
    virtual Result<std::shared_ptr<MailInfoStore>> InfoStore(int index) = 0;  // from 1
    // Lets the store's own transport fetch new mail before it returns.
    virtual Status DeliverNow() = 0;
    virtual Result<std::shared_ptr<MailMessage>> GetMessage(const std::string& id) = 0;
    virtual Status Logoff() = 0;
};

// Creates sessions ("MAPI.Session").
class MailStoreProvider {
  public:
    virtual ~MailStoreProvider() = default;
    virtual Result<std::unique_ptr<MailSession>> CreateSession() = 0;
};

}  // namespace platform
