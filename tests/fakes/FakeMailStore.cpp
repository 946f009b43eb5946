#include "tests/fakes/FakeMailStore.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Text.h"

namespace platform {
namespace {

Status Gone(const std::string& what) {
    return Status::Error(Fail::NotFound, what + " is gone");
}

// The address of "Name <a@b>" or of a bare "a@b".
std::string AddressIn(const std::string& text) {
    std::size_t open = text.rfind('<');
    std::size_t close = open == std::string::npos ? open : text.find('>', open);
    if (close != std::string::npos) return text.substr(open + 1, close - open - 1);
    return Trim(text);
}

class FakeAttachment final : public MailAttachment {
  public:
    FakeAttachment(FakeMailStore& store, std::shared_ptr<FakeMessageData> msg, std::size_t index)
        : store_(store), msg_(std::move(msg)), index_(index) {}

    Result<std::string> Name() override {
        if (Status st = store_.Check("Attachment.Name"); !st) return st;
        return data().name;
    }
    Result<std::string> Source() override {
        if (Status st = store_.Check("Attachment.Source"); !st) return st;
        return data().source;
    }
    Status WriteToFile(const std::string& path) override {
        if (Status st = store_.Check("Attachment.WriteToFile"); !st) return st;
        if (!data().hasContent) return Status::Error(Fail::NotFound, "attachment has no data");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data().content.data(), static_cast<std::streamsize>(data().content.size()));
        out.close();
        if (!out) return Status::Error(Fail::Io, "cannot write " + path);
        return Status::Ok();
    }
    Status SetType(int type) override {
        if (Status st = store_.Check("Attachment.SetType"); !st) return st;
        data().type = type;
        return Status::Ok();
    }
    Status SetPosition(int position) override {
        if (Status st = store_.Check("Attachment.SetPosition"); !st) return st;
        data().position = position;
        return Status::Ok();
    }
    Status SetName(const std::string& name) override {
        if (Status st = store_.Check("Attachment.SetName"); !st) return st;
        data().name = name;
        return Status::Ok();
    }
    Status SetSource(const std::string& source) override {
        if (Status st = store_.Check("Attachment.SetSource"); !st) return st;
        data().source = source;
        return Status::Ok();
    }
    Status ReadFromFile(const std::string& path) override {
        if (Status st = store_.Check("Attachment.ReadFromFile"); !st) return st;
        std::ifstream in(path, std::ios::binary);
        if (!in) return Status::Error(Fail::NotFound, "cannot read " + path);
        data().content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        data().hasContent = true;
        return Status::Ok();
    }

  private:
    FakeAttachmentData& data() { return msg_->attachments.at(index_); }
    FakeMailStore& store_;
    std::shared_ptr<FakeMessageData> msg_;
    std::size_t index_;
};

class FakeRecipient final : public MailRecipient {
  public:
    FakeRecipient(FakeMailStore& store, std::shared_ptr<FakeMessageData> msg, std::size_t index)
        : store_(store), msg_(std::move(msg)), index_(index) {}
    Result<std::string> Name() override {
        if (Status st = store_.Check("Recipient.Name"); !st) return st;
        return data().Name();
    }
    Status SetAddress(const std::string& address) override {
        if (Status st = store_.Check("Recipient.SetAddress"); !st) return st;
        data().address = address;
        return Status::Ok();
    }
    Status SetType(int type) override {
        if (Status st = store_.Check("Recipient.SetType"); !st) return st;
        data().type = type;
        return Status::Ok();
    }

  private:
    FakeRecipientData& data() { return msg_->recipients.at(index_); }
    FakeMailStore& store_;
    std::shared_ptr<FakeMessageData> msg_;
    std::size_t index_;
};

class FakeMessage final : public MailMessage {
  public:
    FakeMessage(FakeMailStore& store, FakeProfile& profile, std::shared_ptr<FakeMessageData> msg)
        : store_(store), profile_(profile), msg_(std::move(msg)) {}

    Result<std::string> ID() override { return Get("Message.ID", msg_->id); }
    Result<std::string> Type() override { return Get("Message.Type", msg_->type); }
    Result<std::string> Subject() override { return Get("Message.Subject", msg_->subject); }
    Status SetSubject(const std::string& v) override {
        return Set("Message.SetSubject", msg_->subject, v);
    }
    Result<std::string> Note() override { return Get("Message.Note", msg_->note); }
    Status SetNote(const std::string& v) override {
        if (msg_->saved) return Status::Error(Fail::Rejected, "a stored message is not rewritten");
        return Set("Message.SetNote", msg_->note, v);
    }
    Result<std::string> Text() override { return Get("Message.Text", msg_->text); }
    Status SetText(const std::string& v) override { return Set("Message.SetText", msg_->text, v); }
    Result<std::string> SenderAddress() override {
        return Get("Message.SenderAddress", msg_->senderAddress);
    }
    Status SetSenderName(const std::string& v) override {
        if (Status st = store_.Check("Message.SetSenderName"); !st) return st;
        msg_->senderName = v;
        msg_->senderAddress = AddressIn(v);
        return Status::Ok();
    }
    Result<std::string> TimeReceived() override {
        return Get("Message.TimeReceived", msg_->timeReceived);
    }
    Result<std::string> TimeSent() override { return Get("Message.TimeSent", msg_->timeSent); }
    Status SetTimeReceived(std::int64_t t) override {
        if (Status st = store_.Check("Message.SetTimeReceived"); !st) return st;
        msg_->timeReceivedSet = t;
        msg_->timeReceived = FormatStoreTime(t);
        return Status::Ok();
    }
    Status SetTimeSent(std::int64_t t) override {
        if (Status st = store_.Check("Message.SetTimeSent"); !st) return st;
        msg_->timeSentSet = t;
        msg_->timeSent = FormatStoreTime(t);
        return Status::Ok();
    }
    Status SetUnread(bool unread) override {
        if (Status st = store_.Check("Message.SetUnread"); !st) return st;
        msg_->unread = unread;
        return Status::Ok();
    }
    Status SetMark(MessageMark mark) override {
        if (Status st = store_.Check("Message.SetMark"); !st) return st;
        if (!msg_->saved) return Status::Error(Fail::Rejected, "not stored yet");
        msg_->marks.insert(mark);
        return Status::Ok();
    }
    Result<bool> HasMark(MessageMark mark) override {
        if (Status st = store_.Check("Message.HasMark"); !st) return st;
        return msg_->marks.count(mark) > 0;
    }

    Result<int> RecipientCount() override {
        if (Status st = store_.Check("Message.RecipientCount"); !st) return st;
        return static_cast<int>(msg_->recipients.size());
    }
    Result<std::shared_ptr<MailRecipient>> Recipient(int index) override {
        if (Status st = store_.Check("Message.Recipient"); !st) return st;
        if (index < 1 || static_cast<std::size_t>(index) > msg_->recipients.size())
            return Status::Error(Fail::NotFound, "no recipient " + std::to_string(index));
        return std::shared_ptr<MailRecipient>(
            std::make_shared<FakeRecipient>(store_, msg_, static_cast<std::size_t>(index - 1)));
    }
    Result<std::shared_ptr<MailRecipient>> AddRecipient() override {
        if (Status st = store_.Check("Message.AddRecipient"); !st) return st;
        msg_->recipients.emplace_back();
        return std::shared_ptr<MailRecipient>(
            std::make_shared<FakeRecipient>(store_, msg_, msg_->recipients.size() - 1));
    }
    Result<int> AttachmentCount() override {
        if (Status st = store_.Check("Message.AttachmentCount"); !st) return st;
        return static_cast<int>(msg_->attachments.size());
    }
    Result<std::shared_ptr<MailAttachment>> Attachment(int index) override {
        if (Status st = store_.Check("Message.Attachment"); !st) return st;
        if (index < 1 || static_cast<std::size_t>(index) > msg_->attachments.size())
            return Status::Error(Fail::NotFound, "no attachment " + std::to_string(index));
        return std::shared_ptr<MailAttachment>(
            std::make_shared<FakeAttachment>(store_, msg_, static_cast<std::size_t>(index - 1)));
    }
    Result<std::shared_ptr<MailAttachment>> AddAttachment() override {
        if (Status st = store_.Check("Message.AddAttachment"); !st) return st;
        msg_->attachments.emplace_back();
        return std::shared_ptr<MailAttachment>(
            std::make_shared<FakeAttachment>(store_, msg_, msg_->attachments.size() - 1));
    }
    Result<std::string> Field(int index) override {
        if (Status st = store_.Check("Message.Field"); !st) return st;
        auto it = msg_->fields.find(index);
        if (it == msg_->fields.end())
            return Status::Error(Fail::NotFound, "no field " + std::to_string(index));
        return it->second;
    }
    Status Update() override {
        if (Status st = store_.Check("Message.Update"); !st) return st;
        ++msg_->updates;
        if (!msg_->saved) {
            msg_->saved = true;
            if (msg_->folder) msg_->folder->messages.push_back(msg_);
        }
        return Status::Ok();
    }
    Status UpdateUnsynced() override {
        const bool wasSaved = msg_->saved;
        if (Status st = Update(); !st) return st;
        if (!wasSaved) msg_->unsynced = true;
        return Status::Ok();
    }
    Status MoveTo(const std::string& folderId) override {
        if (Status st = store_.Check("Message.MoveTo"); !st) return st;
        FakeProfile* owner = nullptr;
        FakeFolderData* target = store_.FolderById(folderId, &owner);
        if (!target || owner != &profile_)
            return Status::Error(Fail::NotFound, "no folder " + folderId);
        FakeFolderData* from = msg_->folder;
        if (!msg_->saved || !from) return Status::Error(Fail::NotFound, "message is not stored");
        auto it = std::find(from->messages.begin(), from->messages.end(), msg_);
        if (it == from->messages.end()) return Gone("message " + msg_->id);
        from->messages.erase(it);
        FakeMailStore::Move mv;
        mv.oldId = msg_->id;
        msg_->id = store_.NextMessageId();
        mv.newId = msg_->id;
        mv.folderId = folderId;
        mv.folderPath = target == profile_.inbox.get() ? "" : target->Path();
        mv.subject = msg_->subject;
        msg_->folder = target;
        target->messages.push_back(msg_);
        store_.moves.push_back(std::move(mv));
        return Status::Ok();
    }

  private:
    Result<std::string> Get(const char* op, const std::string& v) {
        if (Status st = store_.Check(op); !st) return st;
        return v;
    }
    Status Set(const char* op, std::string& field, const std::string& v) {
        if (Status st = store_.Check(op); !st) return st;
        field = v;
        return Status::Ok();
    }
    FakeMailStore& store_;
    FakeProfile& profile_;
    std::shared_ptr<FakeMessageData> msg_;
};

class FakeFolder final : public MailFolder {
  public:
    FakeFolder(FakeMailStore& store, FakeProfile& profile, FakeFolderData& data)
        : store_(store), profile_(profile), data_(data) {}

    Result<std::string> Name() override {
        if (Status st = store_.Check("Folder.Name"); !st) return st;
        return data_.name;
    }
    Result<std::string> ID() override {
        if (Status st = store_.Check("Folder.ID"); !st) return st;
        return data_.id;
    }
    Result<int> FolderCount() override {
        if (Status st = store_.Check("Folder.FolderCount"); !st) return st;
        return static_cast<int>(data_.folders.size());
    }
    Result<std::shared_ptr<MailFolder>> Folder(int index) override {
        if (Status st = store_.Check("Folder.Folder"); !st) return st;
        if (index < 1 || static_cast<std::size_t>(index) > data_.folders.size())
            return Status::Error(Fail::NotFound, "no folder " + std::to_string(index));
        return std::shared_ptr<MailFolder>(std::make_shared<FakeFolder>(
            store_, profile_, *data_.folders[static_cast<std::size_t>(index - 1)]));
    }
    Result<std::shared_ptr<MailFolder>> AddFolder(const std::string& name) override {
        if (Status st = store_.Check("Folder.AddFolder"); !st) return st;
        auto f = std::make_unique<FakeFolderData>();
        f->name = name;
        f->id = store_.NextFolderId();
        f->parent = &data_;
        FakeFolderData& ref = *f;
        data_.folders.push_back(std::move(f));
        return std::shared_ptr<MailFolder>(std::make_shared<FakeFolder>(store_, profile_, ref));
    }
    Result<int> MessageCount() override {
        if (Status st = store_.Check("Folder.MessageCount"); !st) return st;
        listing_ = data_.messages;
        return static_cast<int>(listing_.size());
    }
    Result<std::shared_ptr<MailMessage>> Message(int index) override {
        if (Status st = store_.Check("Folder.Message"); !st) return st;
        if (index < 1 || static_cast<std::size_t>(index) > listing_.size())
            return Status::Error(Fail::NotFound, "no message " + std::to_string(index));
        auto msg = listing_[static_cast<std::size_t>(index - 1)];
        // A message that left the folder since the count cannot be read here.
        if (msg->folder != &data_ ||
            std::find(data_.messages.begin(), data_.messages.end(), msg) == data_.messages.end())
            return Gone("message " + std::to_string(index));
        return std::shared_ptr<MailMessage>(std::make_shared<FakeMessage>(store_, profile_, msg));
    }
    Result<std::shared_ptr<MailMessage>> AddMessage() override {
        if (Status st = store_.Check("Folder.AddMessage"); !st) return st;
        auto msg = std::make_shared<FakeMessageData>();
        msg->id = store_.NextMessageId();
        msg->saved = false;
        msg->folder = &data_;
        return std::shared_ptr<MailMessage>(std::make_shared<FakeMessage>(store_, profile_, msg));
    }
    // A failed sync takes the unsynced messages back out of the folder.
    Status SyncNew() override {
        const Status st = store_.Check("Folder.SyncNew");
        auto& msgs = data_.messages;
        if (!st)
            msgs.erase(
                std::remove_if(msgs.begin(), msgs.end(), [](const auto& m) { return m->unsynced; }),
                msgs.end());
        for (auto& m : msgs) m->unsynced = false;
        return st;
    }

  private:
    FakeMailStore& store_;
    FakeProfile& profile_;
    FakeFolderData& data_;
    std::vector<std::shared_ptr<FakeMessageData>> listing_;
};

class FakeInfoStore final : public MailInfoStore {
  public:
    FakeInfoStore(FakeMailStore& store, FakeProfile& profile) : store_(store), profile_(profile) {}
    Result<std::string> ID() override {
        if (Status st = store_.Check("InfoStore.ID"); !st) return st;
        return profile_.infoStoreId;
    }
    Result<std::shared_ptr<MailFolder>> RootFolder() override {
        if (Status st = store_.Check("InfoStore.RootFolder"); !st) return st;
        return std::shared_ptr<MailFolder>(
            std::make_shared<FakeFolder>(store_, profile_, *profile_.root));
    }

  private:
    FakeMailStore& store_;
    FakeProfile& profile_;
};

class FakeSession final : public MailSession {
  public:
    explicit FakeSession(FakeMailStore& store) : store_(store) {}

    Status Logon(const std::string& profileName, bool interactive) override {
        if (Status st = store_.Check("Session.Logon"); !st) return st;
        FakeProfile* p = store_.FindProfile(profileName);
        if (!p && interactive && store_.interactiveChoice)
            p = store_.FindProfile(*store_.interactiveChoice);
        if (!p) return Status::Error(Fail::NotFound, "no profile " + profileName);
        profile_ = p;
        ++p->logons;
        return Status::Ok();
    }
    Result<std::string> Name() override {
        if (Status st = Need("Session.Name"); !st) return st;
        return profile_->name;
    }
    Result<std::shared_ptr<MailFolder>> Inbox() override {
        if (Status st = Need("Session.Inbox"); !st) return st;
        return std::shared_ptr<MailFolder>(
            std::make_shared<FakeFolder>(store_, *profile_, *profile_->inbox));
    }
    Result<int> InfoStoreCount() override {
        if (Status st = Need("Session.InfoStoreCount"); !st) return st;
        return store_.infoStoreCount;
    }
    Result<std::shared_ptr<MailInfoStore>> InfoStore(int index) override {
        if (Status st = Need("Session.InfoStore"); !st) return st;
        if (index < 1 || index > store_.infoStoreCount)
            return Status::Error(Fail::NotFound, "no info store " + std::to_string(index));
        return std::shared_ptr<MailInfoStore>(std::make_shared<FakeInfoStore>(store_, *profile_));
    }
    Status DeliverNow() override {
        if (Status st = Need("Session.DeliverNow"); !st) return st;
        ++profile_->deliverCalls;
        if (profile_->onDeliver) profile_->onDeliver(*profile_);
        return Status::Ok();
    }
    Result<std::shared_ptr<MailMessage>> GetMessage(const std::string& id) override {
        if (Status st = Need("Session.GetMessage"); !st) return st;
        auto msg = store_.MessageById(*profile_, id);
        if (!msg) return Status::Error(Fail::NotFound, "no message " + id);
        return std::shared_ptr<MailMessage>(std::make_shared<FakeMessage>(store_, *profile_, msg));
    }
    Status Logoff() override {
        if (Status st = Need("Session.Logoff"); !st) return st;
        ++profile_->logoffs;
        profile_ = nullptr;
        return Status::Ok();
    }

  private:
    Status Need(const char* op) {
        if (Status st = store_.Check(op); !st) return st;
        if (!profile_) return Status::Error(Fail::Rejected, "not logged on");
        return Status::Ok();
    }
    FakeMailStore& store_;
    FakeProfile* profile_ = nullptr;
};

}  // namespace

std::string FakeRecipientData::Name() const {
    if (!name.empty()) return name;
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

FakeMessageData& FakeMessageData::To(std::string recipientName, int recipientType) {
    FakeRecipientData r;
    r.name = std::move(recipientName);
    r.type = recipientType;
    recipients.push_back(std::move(r));
    return *this;
}

FakeMessageData& FakeMessageData::Attach(std::string attName, std::string source,
                                         std::string content) {
    FakeAttachmentData a;
    a.name = std::move(attName);
    a.source = std::move(source);
    a.content = std::move(content);
    attachments.push_back(std::move(a));
    return *this;
}

FakeFolderData* FakeFolderData::Sub(const std::string& folderName) {
    for (auto& f : folders)
        if (f->name == folderName) return f.get();
    return nullptr;
}

std::string FakeFolderData::Path() const {
    if (!parent) return "";
    std::string up = parent->Path();
    return up.empty() ? name : up + "/" + name;
}

FakeMailStore::FakeMailStore() = default;
FakeMailStore::~FakeMailStore() = default;

FakeProfile& FakeMailStore::AddProfile(const std::string& name) {
    if (FakeProfile* p = FindProfile(name)) return *p;
    auto p = std::make_unique<FakeProfile>();
    p->name = name;
    p->infoStoreId = "store:" + name;
    p->root = std::make_unique<FakeFolderData>();
    p->root->name = "Top of Information Store";
    p->root->id = NextFolderId();
    p->inbox = std::make_unique<FakeFolderData>();
    p->inbox->name = "Inbox";
    p->inbox->id = NextFolderId();
    profiles_.push_back(std::move(p));
    return *profiles_.back();
}

FakeProfile* FakeMailStore::FindProfile(const std::string& name) {
    for (auto& p : profiles_)
        if (EqualsNoCase(p->name, name)) return p.get();
    return nullptr;
}

FakeFolderData& FakeMailStore::Inbox(const std::string& profile) {
    return *AddProfile(profile).inbox;
}
FakeFolderData& FakeMailStore::Root(const std::string& profile) {
    return *AddProfile(profile).root;
}

FakeFolderData* FakeMailStore::Folder(const std::string& profile, const std::string& path) {
    FakeProfile* p = FindProfile(profile);
    if (!p) return nullptr;
    FakeFolderData* cur = p->root.get();
    std::stringstream ss(path);
    std::string part;
    while (cur && std::getline(ss, part, '/'))
        if (!part.empty()) cur = cur->Sub(part);
    return cur;
}

FakeFolderData& FakeMailStore::EnsureFolder(const std::string& profile, const std::string& path) {
    FakeFolderData* cur = AddProfile(profile).root.get();
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        FakeFolderData* next = cur->Sub(part);
        if (!next) {
            auto f = std::make_unique<FakeFolderData>();
            f->name = part;
            f->id = NextFolderId();
            f->parent = cur;
            next = f.get();
            cur->folders.push_back(std::move(f));
        }
        cur = next;
    }
    return *cur;
}

FakeMessageData& FakeMailStore::NewMessage(FakeFolderData& folder) {
    auto msg = std::make_shared<FakeMessageData>();
    msg->id = NextMessageId();
    msg->folder = &folder;
    folder.messages.push_back(msg);
    return *msg;
}

void FakeMailStore::FailNext(const std::string& op, Status st, int times) {
    failures_[op] = Injected{std::move(st), times};
}

void FakeMailStore::FailAlways(const std::string& op, Status st) {
    failures_[op] = Injected{std::move(st), -1};
}

void FakeMailStore::ClearFailures() {
    failures_.clear();
}

Result<std::unique_ptr<MailSession>> FakeMailStore::CreateSession() {
    if (Status st = Check("Provider.CreateSession"); !st) return st;
    ++sessionsCreated;
    return std::unique_ptr<MailSession>(std::make_unique<FakeSession>(*this));
}

Status FakeMailStore::Check(const std::string& op) {
    calls.push_back(op);
    auto it = failures_.find(op);
    if (it == failures_.end()) return Status::Ok();
    Status st = it->second.status;
    if (st.ok()) st = Status::Error(Fail::Internal, "injected");
    if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
    return st;
}

std::string FakeMailStore::NextMessageId() {
    return "msg:" + std::to_string(nextId_++);
}
std::string FakeMailStore::NextFolderId() {
    return "folder:" + std::to_string(nextId_++);
}

namespace {
FakeFolderData* FindIn(FakeFolderData& f, const std::string& id) {
    if (f.id == id) return &f;
    for (auto& sub : f.folders)
        if (FakeFolderData* hit = FindIn(*sub, id)) return hit;
    return nullptr;
}
std::shared_ptr<FakeMessageData> FindMsg(FakeFolderData& f, const std::string& id) {
    for (auto& m : f.messages)
        if (m->id == id) return m;
    for (auto& sub : f.folders)
        if (auto hit = FindMsg(*sub, id)) return hit;
    return nullptr;
}
}  // namespace

FakeFolderData* FakeMailStore::FolderById(const std::string& id, FakeProfile** owner) {
    for (auto& p : profiles_) {
        FakeFolderData* hit = p->inbox->id == id ? p->inbox.get() : FindIn(*p->root, id);
        if (hit) {
            if (owner) *owner = p.get();
            return hit;
        }
    }
    return nullptr;
}

std::shared_ptr<FakeMessageData> FakeMailStore::MessageById(FakeProfile& profile,
                                                            const std::string& id) {
    if (auto m = FindMsg(*profile.inbox, id)) return m;
    return FindMsg(*profile.root, id);
}

}  // namespace platform
