#pragma once
// An in-memory mail store for tests of the inbox walk and the conversion.
// Tests build profiles, folders and messages directly through the data
// structs below, run the code under test through the MailStore interfaces,
// then inspect the folders and the recorded moves. Any store operation can be
// made to fail once (FailNext) or always (FailAlways).
//
//   platform::FakeMailStore store;
//   store.AddProfile("Windows Messaging Settings");
//   store.NewMessage(store.Inbox("Windows Messaging Settings"))
//       .Subject("Fax").To("me@voxafax.example").Attach("fax.tif;", "/tmp/x", "II*...");
//   store.FailNext("Message.MoveTo");
//   ... run ...
//   EXPECT_EQ(store.Folder("Windows Messaging Settings", "VOXA-FAXes/Printed")->messages.size(),
//   1);
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
    std::string content;  // what WriteToFile writes
    int type = 1;
    int position = 0;
    bool hasContent = true;  // false: WriteToFile fails (no data)
};

struct FakeRecipientData {
    std::string name;     // what Recipient.Name reads; "" = the address without "SMTP:"
    std::string address;  // as set: "SMTP:x@y"
    int type = 1;
    std::string Name() const;
};

struct FakeMessageData {
    std::string id;
    std::string type = "IPM.Note";
    std::string subject;
    std::string note;
    std::string text;
    std::string senderAddress;  // what SenderAddress reads; SetSenderName sets its address
    std::string senderName;     // what SetSenderName set
    std::string timeReceived;   // display form; Set* format through FormatStoreTime
    std::string timeSent;
    std::optional<std::int64_t> timeReceivedSet;  // last value given to SetTimeReceived
    std::optional<std::int64_t> timeSentSet;
    bool unread = true;
    bool unsynced = false;  // saved by UpdateUnsynced, its folder not synced since
    std::set<MessageMark> marks;
    bool saved = true;  // false for a message made by Folder.AddMessage until its Update
    int updates = 0;    // Update calls
    std::vector<FakeRecipientData> recipients;
    std::vector<FakeAttachmentData> attachments;
    std::map<int, std::string> fields;  // Field(i); absent items fail
    FakeFolderData* folder = nullptr;

    // Builder helpers for tests; each returns *this.
    FakeMessageData& Type(std::string v) {
        type = std::move(v);
        return *this;
    }
    FakeMessageData& Subject(std::string v) {
        subject = std::move(v);
        return *this;
    }
    FakeMessageData& Text(std::string v) {
        text = std::move(v);
        return *this;
    }
    FakeMessageData& From(std::string v) {
        senderAddress = std::move(v);
        return *this;
    }
    // A recipient whose Name is name.
    FakeMessageData& To(std::string name, int recipientType = 1);
    FakeMessageData& Attach(std::string name, std::string source, std::string content);
    FakeMessageData& Field(int index, std::string v) {
        fields[index] = std::move(v);
        return *this;
    }
    // The transport header block, as the store exposes it in field 25.
    FakeMessageData& Header(std::string block) { return Field(25, std::move(block)); }
    FakeMessageData& Sent(std::string v) {
        timeSent = std::move(v);
        return *this;
    }
    FakeMessageData& Received(std::string v) {
        timeReceived = std::move(v);
        return *this;
    }
    FakeMessageData& Unread(bool v) {
        unread = v;
        return *this;
    }
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
    std::string infoStoreId;
    int logons = 0;
    int logoffs = 0;
    int deliverCalls = 0;
    // Runs inside DeliverNow, e.g. to drop new messages into the inbox.
    std::function<void(FakeProfile&)> onDeliver;
};

class FakeMailStore final : public MailStoreProvider {
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

    // Failure injection by operation name "Class.Member", e.g. "Session.Logon",
    // "Folder.AddFolder", "Folder.Message", "Message.MoveTo", "Message.Update",
    // "Message.Text", "Attachment.WriteToFile", "Recipient.Name",
    // "InfoStore.RootFolder", "Session.Inbox", "Session.GetMessage".
    void FailNext(const std::string& op, Status st = Status::Error(Fail::Internal, "injected"),
                  int times = 1);
    void FailAlways(const std::string& op, Status st = Status::Error(Fail::Internal, "injected"));
    void ClearFailures();

    // Logon with interactive == true to an unknown profile logs on to this one.
    std::optional<std::string> interactiveChoice;
    // Number of info stores a session reports (0 = none).
    int infoStoreCount = 1;

    struct Move {
        std::string oldId;
        std::string newId;
        std::string folderId;
        std::string folderPath;  // path of the target under the root ("" for the inbox)
        std::string subject;
    };
    std::vector<Move> moves;
    // Every store operation called, in order ("Message.Subject", ...).
    std::vector<std::string> calls;
    int sessionsCreated = 0;

    Result<std::unique_ptr<MailSession>> CreateSession() override;

    // Used by the fake's objects: records the call and returns an injected
    // failure when one is due.
    Status Check(const std::string& op);
    std::string NextMessageId();
    std::string NextFolderId();
    FakeFolderData* FolderById(const std::string& id, FakeProfile** owner = nullptr);
    std::shared_ptr<FakeMessageData> MessageById(FakeProfile& profile, const std::string& id);

  private:
    struct Injected {
        Status status;
        int remaining;  // -1: always
    };
    std::vector<std::unique_ptr<FakeProfile>> profiles_;
    std::map<std::string, Injected> failures_;
    std::uint64_t nextId_ = 1;
};

}  // namespace platform
