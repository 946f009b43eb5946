#pragma once
// The mail store on disk: one Maildir++ tree per profile of stores.ini.
// The inbox is the Maildir's root, folder A under the root folder is ".A",
// B under A is ".A.B". Messages are MIME files written with GMime. A folder's
// ID is its Maildir's path; a message's ID is its folder's path, "/" and the
// base of its file name (without the flags, which change).
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSyncer.h"
#include "platform/MailStore.h"

namespace platform {

class Dialogs;

namespace maildir {
struct StoreState;
struct AttachmentPlace;
}  // namespace maildir

// One profile as stores.ini describes it.
struct StoreProfile {
    std::string name;     // the section's name as written
    std::string maildir;  // as written (~ not yet expanded)
    std::string deliver;  // the command DeliverNow runs; "" for none
};

// The section of stores.ini whose name equals `name` without regard to case.
// A failure's detail names the file and the section: Fail::NotFound ("names
// no profile in <file> (profiles: ...)", worded to follow the profile's name)
// when there is no such section or no file; Fail::Format when the section
// has no maildir.
Result<StoreProfile> ReadStoreProfile(const std::string& storesIni, const std::string& name);

class MaildirStore final : public MailStore {
  public:
    // storesIni: the profiles file; dialogs: offers the configured profiles
    // when an interactive logon names an unknown one; syncs: how stored
    // messages are made durable (tests watch them made durable at once).
    MaildirStore(std::string storesIni, Dialogs& dialogs,
                 FileSyncer::Mode syncs = FileSyncer::Mode::Background);
    ~MaildirStore() override;

    Result<Logon> LogOn(const std::string& profile, bool interactive) override;
    void LogOff() override;
    Status DeliverNow() override;
    Result<FolderId> Folder(const std::vector<std::string>& path) override;
    Result<std::vector<MessageId>> List(const FolderId& folder) override;
    Result<StoredMessage> Load(const MessageId& id) override;
    Status WriteAttachment(const MessageId& id, std::size_t index,
                           const std::string& path) override;
    Result<MessageId> Store(const FolderId& folder, const NewMessage& message) override;
    Status Sync(const FolderId& folder) override;
    Status Seal(const FolderId& folder) override;
    Result<bool> SyncSealed(const FolderId& folder, bool wait) override;
    Status Mark(const MessageId& id, MessageMark mark) override;
    Status SetUnread(const MessageId& id, bool unread) override;
    Result<MessageId> Move(const MessageId& id, const FolderId& to) override;

  private:
    struct Where;
    Result<std::string> FolderDir(const FolderId& folder) const;
    Result<Where> Find(const MessageId& id, bool settle = false);
    // Syncs dir's stored messages before a listing or a change; a failure is
    // kept for the folder's next Sync.
    Status Settle(const std::string& dir);
    // Renames the message in its folder to carry `flags`, into cur/; synced
    // when durable.
    Status Reflag(const MessageId& id, Where& at, const std::string& flags, bool durable);
    Status RunDeliver();

    std::string storesIni_;
    Dialogs& dialogs_;
    std::unique_ptr<maildir::StoreState> store_;  // while logged on
    std::string deliver_;
    FileSyncer::Mode syncs_;
    // The attachments' places of the message loaded last: its attachments
    // are written out without parsing it again.
    MessageId loaded_;
    std::vector<maildir::AttachmentPlace> places_;
};

}  // namespace platform
