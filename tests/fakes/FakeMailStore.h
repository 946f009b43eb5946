#pragma once
// An in-memory mail store for tests of the inbox walk and the conversion.
// Tests build profiles, folders and messages directly through the data
// structs below, run the code under test through the MailStore interface,
// then inspect the folders and their messages. Any operation can be made
// to fail once (FailNext) or always (FailAlways), by its name ("Store").
//
//   platform::FakeMailStore store;
//   store.AddProfile("Windows Messaging Settings");
//   store.NewMessage(store.Inbox("Windows Messaging Settings"))
//       .Subject("Fax").To("me@voxafax.example").Attach("fax.tif;", "/tmp/x", "II*...");
//   store.FailNext("Move");
//   ... run ...
//   EXPECT_EQ(store.Folder(kProfile, "VOXA-FAXes/Printed")->messages.size(), 1);
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/MailStore.h"

namespace platform {

struct FakeFolderData;

struct FakeAttachmentData {
    std::string name;
    std::string source;
    std::string content;     // what WriteAttachment writes
    bool hasContent = true;  // false: WriteAttachment fails (no data)
};

struct FakeRecipientData {
    std::string name;     // the mailbox text Load reads; "" = the address without "SMTP:"
    std::string address;  // as stored: "SMTP:x@y"
    RecipientKind kind = RecipientKind::To;
    std::string Name() const;
};

struct FakeMessageData {
    std::string id;
    std::string type = "IPM.Note";
    std::string subject;
    std::string note;
    std::string origin;
    std::string text;
    std::string header;         // the transport header block
    std::string senderAddress;  // what Load reads; a stored sender name sets its address
    std::string senderName;     // as stored
    std::string timeReceived;   // display form; stored times format through FormatStoreTime
    std::string timeSent;
    std::optional<std::int64_t> timeReceivedSet;  // as stored
    std::optional<std::int64_t> timeSentSet;
    bool unread = true;
    bool unsynced = false;  // stored, its folder not synced since
    // Moved out of this folder, and not both folders synced since (a crash
    // puts it back there); nullptr when its last move is durable.
    FakeFolderData* movedFrom = nullptr;
    std::string idBefore;  // its ID there
    bool fromSynced = false, toSynced = false;
    std::set<MessageMark> marks;
    std::vector<FakeRecipientData> recipients;
    std::vector<FakeAttachmentData> attachments;
    FakeFolderData* folder = nullptr;

    // Builder helpers for tests; each returns *this.
    FakeMessageData& Type(std::string v) { return type = std::move(v), *this; }
    FakeMessageData& Subject(std::string v) { return subject = std::move(v), *this; }
    FakeMessageData& Text(std::string v) { return text = std::move(v), *this; }
    FakeMessageData& From(std::string v) { return senderAddress = std::move(v), *this; }
    FakeMessageData& Header(std::string v) { return header = std::move(v), *this; }
    FakeMessageData& Sent(std::string v) { return timeSent = std::move(v), *this; }
    FakeMessageData& Received(std::string v) { return timeReceived = std::move(v), *this; }
    // A recipient whose Name is name.
    FakeMessageData& To(std::string name, RecipientKind kind = RecipientKind::To);
    FakeMessageData& Attach(std::string name, std::string source, std::string content);
};

struct FakeFolderData {
    std::string name;
    std::string id;
    FakeFolderData* parent = nullptr;
    std::vector<std::unique_ptr<FakeFolderData>> folders;
    std::vector<std::shared_ptr<FakeMessageData>> messages;

    // The sub-folder with exactly this name, or nullptr.
    FakeFolderData* Sub(const std::string& folderName);
    // "A/B" below the root of the tree.
    std::string Path() const;
};

struct FakeProfile {
    std::string name;                       // as written; logon compares without case
    std::unique_ptr<FakeFolderData> root;   // "Top of Information Store"
    std::unique_ptr<FakeFolderData> inbox;  // "Inbox"; not among root's sub-folders
    int logons = 0;
    int logoffs = 0;
    int deliverCalls = 0;
    // Runs inside DeliverNow, e.g. to drop new messages into the inbox.
    std::function<void(FakeProfile&)> onDeliver;
};

class FakeMailStore final : public MailStore {
  public:
    FakeMailStore();
    ~FakeMailStore() override;

    FakeProfile& AddProfile(const std::string& name);
    FakeProfile* FindProfile(const std::string& name);  // case-blind
    FakeFolderData& Inbox(const std::string& profile);
    FakeFolderData& Root(const std::string& profile);
    // A folder by its path under the root ("VOXA-FAXes/Printed"); nullptr when absent.
    FakeFolderData* Folder(const std::string& profile, const std::string& path);
    // Creates the folders of the path that are missing.
    FakeFolderData& EnsureFolder(const std::string& profile, const std::string& path);
    // A stored message appended to the folder (an ID is assigned).
    FakeMessageData& NewMessage(FakeFolderData& folder);
    std::shared_ptr<FakeMessageData> MessageById(FakeProfile& profile, const std::string& id);

    // Failure injection by operation name: "LogOn", "Folder", "List", "Load",
    // "WriteAttachment", "Store", "Sync", "Mark", "SetUnread", "Move".
    void FailNext(const std::string& op, Status st = Status::Error(Fail::Internal, "injected"),
                  int times = 1);
    void FailAlways(const std::string& op, Status st = Status::Error(Fail::Internal, "injected"));
    void ClearFailures();

    // The machine stops: every move that is not durable yet is undone, as a
    // file system may do with renames it has not written.
    void Crash();

    // Logon with interactive == true to an unknown profile logs on to this one.
    std::optional<std::string> interactiveChoice;

    Result<Logon> LogOn(const std::string& profile, bool interactive) override;
    void LogOff() override;
    Status DeliverNow() override;
    Result<FolderId> Folder(const std::vector<std::string>& path) override;
    Result<std::vector<MessageId>> List(const FolderId& folder) override;
    Result<StoredMessage> Load(const MessageId& id) override;
    Status WriteAttachment(const MessageId& id, std::size_t index,
                           const std::string& path) override;
    Result<MessageId> Store(const FolderId& folder, const platform::NewMessage& message) override;
    Status Sync(const FolderId& folder) override;
    Status Mark(const MessageId& id, MessageMark mark) override;
    Status SetUnread(const MessageId& id, bool unread) override;
    Result<MessageId> Move(const MessageId& id, const FolderId& to) override;

  private:
    struct Injected {
        Status status;
        int remaining;  // -1: always
    };
    // Records an injected failure when one is due, or "not logged on".
    Status Check(const std::string& op);
    Result<std::shared_ptr<FakeMessageData>> Message(const std::string& op, const MessageId& id);
    FakeFolderData* FolderById(const std::string& id);
    FakeFolderData* Walk(FakeFolderData* cur, const std::vector<std::string>& path, bool make);
    std::string NextId(const char* kind) { return kind + std::to_string(nextId_++); }

    std::vector<std::unique_ptr<FakeProfile>> profiles_;
    FakeProfile* current_ = nullptr;
    std::map<std::string, Injected> failures_;
    std::uint64_t nextId_ = 1;
    std::vector<std::shared_ptr<FakeMessageData>> moving_;  // moves not yet durable
};

}  // namespace platform
