#include "linux/maildir/DraftMessage.h"

#include <fcntl.h>

#include "platform/Files.h"
#include "linux/maildir/MaildirWriter.h"
#include "linux/maildir/Mime.h"
#include "linux/maildir/StoredMessage.h"

namespace platform::maildir {
namespace {

Status NotSaved() {
    return Status::Error(Fail::NotFound, "message is not saved");
}

class DraftRecipient final : public MailRecipient {
  public:
    explicit DraftRecipient(std::shared_ptr<RecipientDraft> r) : r_(std::move(r)) {}
    Result<std::string> Name() override { return StripSmtpPrefix(r_->address); }
    Status SetAddress(const std::string& address) override {
        r_->address = address;
        return Status::Ok();
    }
    Status SetType(int type) override {
        r_->type = type;
        return Status::Ok();
    }

  private:
    std::shared_ptr<RecipientDraft> r_;
};

class DraftAttachment final : public MailAttachment {
  public:
    DraftAttachment(std::shared_ptr<AttachmentDraft> a, std::shared_ptr<PartSpool> spool)
        : a_(std::move(a)), spool_(std::move(spool)) {}

    Result<std::string> Name() override { return a_->name; }
    Result<std::string> Source() override { return a_->source; }
    Status WriteToFile(const std::string& path) override {
        UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!out) return ErrnoStatus(Fail::Io, "cannot create " + path);
        if (a_->content)
            if (Status st = spool_->DecodeTo(*a_->content, out.get(), path); !st) return st;
        return out.Close(path);
    }
    Status SetType(int type) override {
        a_->type = type;
        return Status::Ok();
    }
    Status SetPosition(int position) override {
        a_->position = position;
        return Status::Ok();
    }
    Status SetName(const std::string& name) override {
        a_->name = name;
        return Status::Ok();
    }
    Status SetSource(const std::string& source) override {
        a_->source = source;
        return Status::Ok();
    }
    Status ReadFromFile(const std::string& path) override {
        Result<SpoolRange> r = spool_->AddFile(path);
        if (!r) return r.status();
        a_->content = *r;
        return Status::Ok();
    }
    Status ReadFromBase64File(const std::string& path) override {
        Result<SpoolRange> r = spool_->AddEncoded(path);
        if (!r) return r.status();
        a_->content = *r;
        return Status::Ok();
    }

  private:
    std::shared_ptr<AttachmentDraft> a_;
    std::shared_ptr<PartSpool> spool_;  // the draft's attachment contents
};

class DraftMessage final : public MailMessage {
  public:
    DraftMessage(std::shared_ptr<StoreState> store, std::string dir)
        : store_(std::move(store)), dir_(std::move(dir)) {
        d_.spool = std::make_shared<PartSpool>(dir_ + "/tmp");
    }

    // Delivers the message into its folder; the message as stored.
    Result<std::shared_ptr<MailMessage>> Deliver(bool syncFolder = true) {
        Result<Entry> at = DeliverMessage(*store_, dir_, d_, syncFolder);
        if (!at) return at.status();
        return OpenStoredMessage(store_, dir_, std::move(*at));
    }

    Result<std::string> ID() override { return NotSaved(); }
    Result<std::string> Type() override { return std::string("IPM.Note"); }
    Result<std::string> Subject() override { return d_.subject.value_or(""); }
    Result<std::string> Note() override { return d_.note.value_or(""); }
    Status SetNote(const std::string& note) override {
        d_.note = note;
        return Status::Ok();
    }
    Status SetSubject(const std::string& subject) override {
        d_.subject = subject;
        return Status::Ok();
    }
    Result<std::string> Text() override { return d_.text.value_or(""); }
    Status SetText(const std::string& text) override {
        d_.text = text;
        return Status::Ok();
    }
    Result<std::string> SenderAddress() override {
        return d_.senderName ? FirstAddressIn(*d_.senderName) : std::string();
    }
    Status SetSenderName(const std::string& name) override {
        d_.senderName = name;
        return Status::Ok();
    }
    Result<std::string> TimeReceived() override {
        return d_.timeReceived ? FormatStoreTime(*d_.timeReceived) : std::string();
    }
    Result<std::string> TimeSent() override {
        return d_.timeSent ? FormatStoreTime(*d_.timeSent) : std::string();
    }
    Status SetTimeReceived(std::int64_t t) override {
        d_.timeReceived = t;
        return Status::Ok();
    }
    Status SetTimeSent(std::int64_t t) override {
        d_.timeSent = t;
        return Status::Ok();
    }
    Status SetUnread(bool unread) override {
        d_.unread = unread;
        return Status::Ok();
    }
    Status SetMark(MessageMark) override {
        return Status::Error(Fail::Rejected, "a new message is marked once it is stored");
    }
    Result<bool> HasMark(MessageMark) override { return false; }

    Result<int> RecipientCount() override { return static_cast<int>(d_.recipients.size()); }
    Result<std::shared_ptr<MailRecipient>> Recipient(int index) override {
        if (index < 1 || static_cast<std::size_t>(index) > d_.recipients.size())
            return Status::Error(Fail::NotFound, "no recipient " + std::to_string(index));
        return std::shared_ptr<MailRecipient>(
            std::make_shared<DraftRecipient>(d_.recipients[static_cast<std::size_t>(index - 1)]));
    }
    Result<std::shared_ptr<MailRecipient>> AddRecipient() override {
        d_.recipients.push_back(std::make_shared<RecipientDraft>());
        return std::shared_ptr<MailRecipient>(
            std::make_shared<DraftRecipient>(d_.recipients.back()));
    }
    Result<int> AttachmentCount() override { return static_cast<int>(d_.attachments.size()); }
    Result<std::shared_ptr<MailAttachment>> Attachment(int index) override {
        if (index < 1 || static_cast<std::size_t>(index) > d_.attachments.size())
            return Status::Error(Fail::NotFound, "no attachment " + std::to_string(index));
        return std::shared_ptr<MailAttachment>(std::make_shared<DraftAttachment>(
            d_.attachments[static_cast<std::size_t>(index - 1)], d_.spool));
    }
    Result<std::shared_ptr<MailAttachment>> AddAttachment() override {
        d_.attachments.push_back(std::make_shared<AttachmentDraft>());
        return std::shared_ptr<MailAttachment>(
            std::make_shared<DraftAttachment>(d_.attachments.back(), d_.spool));
    }
    Result<std::string> Field(int) override { return NotSaved(); }
    // Callers reach a draft through NewMessage, whose Update delivers it and
    // keeps the stored message.
    Status Update() override { return Deliver().status(); }
    Status MoveTo(const std::string&) override { return NotSaved(); }

  private:
    std::shared_ptr<StoreState> store_;
    std::string dir_;  // the folder's Maildir
    MessageDraft d_;
};

// What a folder's AddMessage hands out: the draft until its Update stores it,
// then the stored message, so that the caller keeps one object throughout.
class NewMessage final : public MailMessage {
  public:
    explicit NewMessage(std::shared_ptr<DraftMessage> draft) : draft_(draft), now_(draft) {}

    Status Update() override { return Save(true); }
    Status UpdateUnsynced() override { return Save(false); }

    Result<std::string> ID() override { return now_->ID(); }
    Result<std::string> Type() override { return now_->Type(); }
    Result<std::string> Subject() override { return now_->Subject(); }
    Result<std::string> Note() override { return now_->Note(); }
    Status SetNote(const std::string& v) override { return now_->SetNote(v); }
    Status SetSubject(const std::string& v) override { return now_->SetSubject(v); }
    Result<std::string> Text() override { return now_->Text(); }
    Status SetText(const std::string& v) override { return now_->SetText(v); }
    Result<std::string> SenderAddress() override { return now_->SenderAddress(); }
    Status SetSenderName(const std::string& v) override { return now_->SetSenderName(v); }
    Result<std::string> TimeReceived() override { return now_->TimeReceived(); }
    Result<std::string> TimeSent() override { return now_->TimeSent(); }
    Status SetTimeReceived(std::int64_t t) override { return now_->SetTimeReceived(t); }
    Status SetTimeSent(std::int64_t t) override { return now_->SetTimeSent(t); }
    Status SetUnread(bool v) override { return now_->SetUnread(v); }
    Status SetMark(MessageMark m) override { return now_->SetMark(m); }
    Result<bool> HasMark(MessageMark m) override { return now_->HasMark(m); }
    Result<int> RecipientCount() override { return now_->RecipientCount(); }
    Result<std::shared_ptr<MailRecipient>> Recipient(int i) override { return now_->Recipient(i); }
    Result<std::shared_ptr<MailRecipient>> AddRecipient() override { return now_->AddRecipient(); }
    Result<int> AttachmentCount() override { return now_->AttachmentCount(); }
    Result<std::shared_ptr<MailAttachment>> Attachment(int i) override {
        return now_->Attachment(i);
    }
    Result<std::shared_ptr<MailAttachment>> AddAttachment() override {
        return now_->AddAttachment();
    }
    Result<std::string> Field(int i) override { return now_->Field(i); }
    Status MoveTo(const std::string& folderId) override { return now_->MoveTo(folderId); }

  private:
    Status Save(bool syncFolder) {
        if (!draft_) return now_->Update();
        Result<std::shared_ptr<MailMessage>> stored = draft_->Deliver(syncFolder);
        if (!stored) return stored.status();
        now_ = std::move(*stored);
        draft_.reset();
        return Status::Ok();
    }
    std::shared_ptr<DraftMessage> draft_;  // until stored
    std::shared_ptr<MailMessage> now_;
};

}  // namespace

std::shared_ptr<MailMessage> NewDraftMessage(std::shared_ptr<StoreState> store,
                                             const std::string& dir) {
    return std::make_shared<NewMessage>(std::make_shared<DraftMessage>(std::move(store), dir));
}

}  // namespace platform::maildir
