#include "tests/fakes/FakeMailStore.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {
namespace {

// The address of "Name <a@b>" or of a bare "a@b".
std::string AddressIn(const std::string& text) {
    std::size_t open = text.rfind('<');
    std::size_t close = open == std::string::npos ? open : text.find('>', open);
    if (close != std::string::npos) return text.substr(open + 1, close - open - 1);
    return Trim(text);
}

std::string WithoutSmtp(const std::string& address) {
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

// Base64 text as the store is given it: alphabet characters and line ends.
std::string DecodeBase64(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int have = 0;
    for (char c : text) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* p = c ? std::strchr(digits, c) : nullptr;
        if (!p) continue;
        bits = (bits << 6) | static_cast<unsigned>(p - digits);
        if ((have += 6) >= 8) out += static_cast<char>((bits >> (have -= 8)) & 0xff);
    }
    return out;
}

// The content an attachment of a new message names.
Result<std::string> ContentOf(const NewAttachment& a) {
    if (a.file.empty()) return std::string();
    Result<std::string> all = ReadWholeFile(a.file);
    if (!all) return all.status();
    const auto off = static_cast<std::size_t>(a.offset);
    if (off > all->size()) return Status::Error(Fail::Format, "range outside " + a.file);
    std::string bytes =
        all->substr(off, a.length < 0 ? std::string::npos : static_cast<std::size_t>(a.length));
    return a.base64 ? DecodeBase64(bytes) : bytes;
}

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

std::string FakeRecipientData::Name() const {
    return name.empty() ? WithoutSmtp(address) : name;
}

FakeMessageData& FakeMessageData::To(std::string recipientName, RecipientKind kind) {
    recipients.push_back(FakeRecipientData{std::move(recipientName), "", kind});
    return *this;
}

FakeMessageData& FakeMessageData::Attach(std::string attName, std::string source,
                                         std::string content) {
    attachments.push_back(
        FakeAttachmentData{std::move(attName), std::move(source), std::move(content), true});
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
    p->root = std::make_unique<FakeFolderData>();
    p->root->name = "Top of Information Store";
    p->root->id = NextId("folder:");
    p->inbox = std::make_unique<FakeFolderData>();
    p->inbox->name = "Inbox";
    p->inbox->id = NextId("folder:");
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

// The folder at `path` under `cur`, its missing levels made when `make`.
FakeFolderData* FakeMailStore::Walk(FakeFolderData* cur, const std::vector<std::string>& path,
                                    bool make) {
    for (const std::string& part : path) {
        FakeFolderData* next = cur->Sub(part);
        if (!next && make) {
            auto f = std::make_unique<FakeFolderData>();
            f->name = part;
            f->id = NextId("folder:");
            f->parent = cur;
            next = f.get();
            cur->folders.push_back(std::move(f));
        }
        if (!(cur = next)) return nullptr;
    }
    return cur;
}

namespace {
std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream ss(path);
    for (std::string part; std::getline(ss, part, '/');)
        if (!part.empty()) parts.push_back(part);
    return parts;
}
}  // namespace

FakeFolderData* FakeMailStore::Folder(const std::string& profile, const std::string& path) {
    FakeProfile* p = FindProfile(profile);
    return p ? Walk(p->root.get(), Parts(path), false) : nullptr;
}

FakeFolderData& FakeMailStore::EnsureFolder(const std::string& profile, const std::string& path) {
    return *Walk(AddProfile(profile).root.get(), Parts(path), true);
}

FakeMessageData& FakeMailStore::NewMessage(FakeFolderData& folder) {
    auto msg = std::make_shared<FakeMessageData>();
    msg->id = NextId("msg:");
    msg->folder = &folder;
    folder.messages.push_back(msg);
    return *msg;
}

std::shared_ptr<FakeMessageData> FakeMailStore::MessageById(FakeProfile& profile,
                                                            const std::string& id) {
    if (auto m = FindMsg(*profile.inbox, id)) return m;
    return FindMsg(*profile.root, id);
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

Status FakeMailStore::Check(const std::string& op) {
    auto it = failures_.find(op);
    if (it != failures_.end()) {
        Status st = it->second.status;
        if (st.ok()) st = Status::Error(Fail::Internal, "injected");
        if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
        return st;
    }
    if (!current_ && op != "LogOn") return Status::Error(Fail::Rejected, "not logged on");
    return Status::Ok();
}

FakeFolderData* FakeMailStore::FolderById(const std::string& id) {
    if (!current_) return nullptr;
    return current_->inbox->id == id ? current_->inbox.get() : FindIn(*current_->root, id);
}

Result<std::shared_ptr<FakeMessageData>> FakeMailStore::Message(const std::string& op,
                                                                const MessageId& id) {
    if (Status st = Check(op); !st) return st;
    auto msg = MessageById(*current_, id);
    if (!msg) return Status::Error(Fail::NotFound, "no message " + id);
    return msg;
}

Result<Logon> FakeMailStore::LogOn(const std::string& profile, bool interactive) {
    LogOff();
    if (Status st = Check("LogOn"); !st) return st;
    FakeProfile* p = FindProfile(profile);
    if (!p && interactive && interactiveChoice) p = FindProfile(*interactiveChoice);
    if (!p) {
        std::string names;
        for (auto& q : profiles_) names += (names.empty() ? "\"" : ", \"") + q->name + "\"";
        return Status::Error(Fail::NotFound, "names no profile in the fake store (profiles: " +
                                                 (names.empty() ? "none" : names) + ")");
    }
    current_ = p;
    ++p->logons;
    return Logon{p->name, p->inbox->id};
}

void FakeMailStore::LogOff() {
    if (current_) ++current_->logoffs;
    current_ = nullptr;
}

Status FakeMailStore::DeliverNow() {
    if (Status st = Check("DeliverNow"); !st) return st;
    ++current_->deliverCalls;
    if (current_->onDeliver) current_->onDeliver(*current_);
    return Status::Ok();
}

Result<FolderId> FakeMailStore::Folder(const std::vector<std::string>& path) {
    if (Status st = Check("Folder"); !st) return st;
    for (const std::string& name : path)
        if (name.empty()) return Status::Error(Fail::Format, "empty folder name");
    return Walk(current_->root.get(), path, true)->id;
}

Result<std::vector<MessageId>> FakeMailStore::List(const FolderId& folder) {
    if (Status st = Check("List"); !st) return st;
    FakeFolderData* f = FolderById(folder);
    if (!f) return Status::Error(Fail::NotFound, "no folder " + folder);
    std::vector<MessageId> ids;
    for (const auto& m : f->messages) ids.push_back(m->id);
    return ids;
}

Result<StoredMessage> FakeMailStore::Load(const MessageId& id) {
    auto found = Message("Load", id);
    if (!found) return found.status();
    const FakeMessageData& d = **found;
    StoredMessage m;
    m.id = d.id;
    m.type = d.type;
    m.subject = d.subject;
    m.senderAddress = d.senderAddress;
    for (const auto& r : d.recipients) m.recipients.push_back(Recipient{r.Name(), r.kind});
    m.timeReceived = d.timeReceived;
    m.timeSent = d.timeSent;
    m.text = d.text;
    for (const auto& a : d.attachments) m.attachments.push_back(Attachment{a.name, a.source});
    m.header = d.header;
    m.note = d.note;
    m.origin = d.origin;
    m.marks = d.marks;
    m.unread = d.unread;
    return m;
}

Status FakeMailStore::WriteAttachment(const MessageId& id, std::size_t index,
                                      const std::string& path) {
    auto found = Message("WriteAttachment", id);
    if (!found) return found.status();
    const auto& atts = (*found)->attachments;
    if (index >= atts.size() || !atts[index].hasContent)
        return Status::Error(Fail::NotFound, "attachment has no data");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(atts[index].content.data(), static_cast<std::streamsize>(atts[index].content.size()));
    out.close();
    if (!out) return Status::Error(Fail::Io, "cannot write " + path);
    return Status::Ok();
}

Result<MessageId> FakeMailStore::Store(const FolderId& folder,
                                       const platform::NewMessage& message) {
    if (Status st = Check("Store"); !st) return st;
    FakeFolderData* f = FolderById(folder);
    if (!f) return Status::Error(Fail::NotFound, "no folder " + folder);
    auto d = std::make_shared<FakeMessageData>();
    for (const NewAttachment& a : message.attachments) {
        Result<std::string> content = ContentOf(a);
        if (!content) return content.status();
        d->attachments.push_back(FakeAttachmentData{a.name, a.source, std::move(*content), true});
    }
    for (const NewRecipient& r : message.recipients)
        d->recipients.push_back(FakeRecipientData{"", r.address, r.kind});
    d->id = NextId("msg:");
    d->subject = message.subject;
    d->senderName = message.senderName;
    d->senderAddress = AddressIn(message.senderName);
    d->text = message.text.value_or("");
    d->note = message.note;
    d->origin = message.origin;
    d->unread = message.unread;
    d->timeReceivedSet = message.timeReceived;
    d->timeSentSet = message.timeSent;
    if (message.timeReceived) d->timeReceived = FormatStoreTime(*message.timeReceived);
    if (message.timeSent) d->timeSent = FormatStoreTime(*message.timeSent);
    d->unsynced = true;
    d->folder = f;
    f->messages.push_back(d);
    return d->id;
}

// A failed sync takes the unsynced messages back out of the folder.
Status FakeMailStore::Sync(const FolderId& folder) {
    const Status st = Check("Sync");
    FakeFolderData* f = FolderById(folder);
    if (!f) return st ? Status::Error(Fail::NotFound, "no folder " + folder) : st;
    auto& msgs = f->messages;
    if (!st)
        msgs.erase(
            std::remove_if(msgs.begin(), msgs.end(), [](const auto& m) { return m->unsynced; }),
            msgs.end());
    for (auto& m : msgs) m->unsynced = false;
    if (!st) return st;
    for (auto it = moving_.begin(); it != moving_.end();) {
        FakeMessageData& m = **it;
        m.fromSynced = m.fromSynced || m.movedFrom == f;
        m.toSynced = m.toSynced || m.folder == f;
        if (m.fromSynced && m.toSynced) {
            m.movedFrom = nullptr;
            it = moving_.erase(it);
        } else {
            ++it;
        }
    }
    return st;
}

void FakeMailStore::Crash() {
    for (auto& m : moving_) {
        auto& in = m->folder->messages;
        in.erase(std::find(in.begin(), in.end(), m));
        m->folder = m->movedFrom;
        m->id = m->idBefore;
        m->movedFrom->messages.push_back(m);
        m->movedFrom = nullptr;
    }
    moving_.clear();
}

Status FakeMailStore::Mark(const MessageId& id, MessageMark mark) {
    auto found = Message("Mark", id);
    if (!found) return found.status();
    (*found)->marks.insert(mark);
    return Status::Ok();
}

Status FakeMailStore::SetUnread(const MessageId& id, bool unread) {
    auto found = Message("SetUnread", id);
    if (!found) return found.status();
    (*found)->unread = unread;
    return Status::Ok();
}

Result<MessageId> FakeMailStore::Move(const MessageId& id, const FolderId& to) {
    auto found = Message("Move", id);
    if (!found) return found.status();
    std::shared_ptr<FakeMessageData> msg = *found;
    FakeFolderData* target = FolderById(to);
    if (!target) return Status::Error(Fail::NotFound, "no folder " + to);
    auto& from = msg->folder->messages;
    from.erase(std::find(from.begin(), from.end(), msg));
    if (!msg->movedFrom) {
        msg->movedFrom = msg->folder;
        msg->idBefore = msg->id;
        moving_.push_back(msg);
    }
    msg->fromSynced = msg->toSynced = false;
    msg->id = NextId("msg:");
    msg->folder = target;
    target->messages.push_back(msg);
    return msg->id;
}

}  // namespace platform
