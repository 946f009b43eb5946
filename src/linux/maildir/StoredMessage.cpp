#include "linux/maildir/StoredMessage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/Files.h"
#include "linux/maildir/MaildirReader.h"
#include "linux/maildir/Mime.h"

namespace platform::maildir {
namespace {

// Maildir's own flags, so that other mail programs show them too: "R" is
// "replied to" (the receipt), "P" is "passed on" (to the printer).
char FlagOf(MessageMark mark) {
    return mark == MessageMark::Answered ? 'R' : 'P';
}

Status NotChanged(const char* what) {
    return Status::Error(Fail::Rejected, std::string("a stored ") + what + " is not changed");
}

class StoredMessage final : public MailMessage, public std::enable_shared_from_this<StoredMessage> {
  public:
    StoredMessage(std::shared_ptr<StoreState> store, std::string dir, Entry at)
        : store_(std::move(store)), dir_(std::move(dir)), at_(std::move(at)) {}

    Result<std::string> ID() override { return dir_ + "/" + BaseOf(at_.name); }
    Result<std::string> Type() override {
        if (Status s = Load(); !s) return s;
        return parsed_->type;
    }
    Result<std::string> Subject() override {
        if (set_.subject) return *set_.subject;
        if (Status s = Load(); !s) return s;
        return parsed_->subject;
    }
    Status SetSubject(const std::string& subject) override {
        set_.subject = subject;
        return Status::Ok();
    }
    Result<std::string> Note() override {
        if (Status s = Load(); !s) return s;
        return parsed_->note;
    }
    Status SetNote(const std::string&) override {
        return Status::Error(Fail::Rejected, "a stored message is not rewritten");
    }
    Result<std::string> Text() override {
        if (set_.text) return *set_.text;
        if (Status s = Load(); !s) return s;
        return parsed_->text;
    }
    Status SetText(const std::string& text) override {
        set_.text = text;
        return Status::Ok();
    }
    Result<std::string> SenderAddress() override {
        if (set_.senderName) return FirstAddressIn(*set_.senderName);
        if (Status s = Load(); !s) return s;
        return parsed_->sender;
    }
    Status SetSenderName(const std::string& name) override {
        set_.senderName = name;
        return Status::Ok();
    }
    // When the store received it: the time in a delivery name, else the
    // file's time.
    Result<std::string> TimeReceived() override {
        if (set_.timeReceived) return FormatStoreTime(*set_.timeReceived);
        if (Status s = Refresh(); !s) return s;
        if (auto t = DeliveryTimeOf(at_.name)) return FormatStoreTime(*t);
        struct stat sb {};
        if (::stat(Path().c_str(), &sb) != 0)
            return ErrnoStatus(Fail::NotFound, "cannot stat message");
        return FormatStoreTime(sb.st_mtime);
    }
    Result<std::string> TimeSent() override {
        if (set_.timeSent) return FormatStoreTime(*set_.timeSent);
        if (Status s = Load(); !s) return s;
        if (!parsed_->date) return std::string();
        return FormatStoreTime(*parsed_->date);
    }
    Status SetTimeReceived(std::int64_t t) override {
        set_.timeReceived = t;
        return Status::Ok();
    }
    Status SetTimeSent(std::int64_t t) override {
        set_.timeSent = t;
        return Status::Ok();
    }
    Status SetUnread(bool unread) override;
    Status SetMark(MessageMark mark) override;
    Result<bool> HasMark(MessageMark mark) override {
        if (Status st = Refresh(); !st) return st;
        return FlagsOf(at_.name).find(FlagOf(mark)) != std::string::npos;
    }

    Result<int> RecipientCount() override {
        if (Status s = Load(); !s) return s;
        return static_cast<int>(parsed_->recipients.size());
    }
    Result<std::shared_ptr<MailRecipient>> Recipient(int index) override;
    Result<std::shared_ptr<MailRecipient>> AddRecipient() override {
        return Status::Error(Fail::Rejected, "recipients are added to new messages only");
    }
    Result<int> AttachmentCount() override {
        if (Status s = Load(); !s) return s;
        return static_cast<int>(parsed_->attachments.size());
    }
    Result<std::shared_ptr<MailAttachment>> Attachment(int index) override;
    Result<std::shared_ptr<MailAttachment>> AddAttachment() override {
        return Status::Error(Fail::Rejected, "attachments are added to new messages only");
    }
    Result<std::string> Field(int index) override {
        // Item 25 is where callers look for the transport header.
        if (index != 25) return Status::Error(Fail::NotFound, "no field " + std::to_string(index));
        if (Status s = Load(); !s) return s;
        return parsed_->header;
    }
    Status Update() override {
        if (set_.subject || set_.text || set_.senderName || set_.timeSent || set_.timeReceived)
            return Status::Error(Fail::Rejected, "a stored message is not rewritten");
        return Status::Ok();
    }
    Status MoveTo(const std::string& folderId) override;

    // The file as it is named now.
    Result<std::string> CurrentPath() {
        if (Status s = Refresh(); !s) return s;
        return Path();
    }

  private:
    std::string Path() const { return dir_ + "/" + at_.sub + "/" + at_.name; }

    // Finds the file again when another reader moved it or changed its flags.
    Status Refresh() {
        if (::access(Path().c_str(), F_OK) == 0) return Status::Ok();
        auto hit = Locate(dir_, BaseOf(at_.name));
        if (!hit) return Status::Error(Fail::NotFound, "message " + BaseOf(at_.name) + " is gone");
        at_ = std::move(*hit);
        return Status::Ok();
    }

    Status Load() {
        if (parsed_) return Status::Ok();
        if (Status st = Refresh(); !st) return st;
        ParsedMessage pm;
        if (Status st = ParseMessageFile(Path(), pm); !st) return st;
        parsed_ = std::move(pm);
        return Status::Ok();
    }

    std::shared_ptr<StoreState> store_;
    std::string dir_;  // the folder's Maildir
    Entry at_;
    std::optional<ParsedMessage> parsed_;
    struct {
        std::optional<std::string> subject, text, senderName;
        std::optional<std::int64_t> timeSent, timeReceived;
    } set_;
};

class StoredRecipient final : public MailRecipient {
  public:
    explicit StoredRecipient(std::string name) : name_(std::move(name)) {}
    Result<std::string> Name() override { return name_; }
    Status SetAddress(const std::string&) override { return NotChanged("recipient"); }
    Status SetType(int) override { return NotChanged("recipient"); }

  private:
    std::string name_;
};

class StoredAttachment final : public MailAttachment {
  public:
    StoredAttachment(std::shared_ptr<StoredMessage> msg, ParsedAttachment part)
        : msg_(std::move(msg)), part_(std::move(part)) {}

    Result<std::string> Name() override { return part_.name; }
    Result<std::string> Source() override { return part_.source; }
    Status WriteToFile(const std::string& path) override {
        Result<std::string> file = msg_->CurrentPath();
        if (!file) return file.status();
        return WriteAttachmentToFile(*file, part_, path);
    }
    Status SetType(int) override { return NotChanged("attachment"); }
    Status SetPosition(int) override { return NotChanged("attachment"); }
    Status SetName(const std::string&) override { return NotChanged("attachment"); }
    Status SetSource(const std::string&) override { return NotChanged("attachment"); }
    Status ReadFromFile(const std::string&) override { return NotChanged("attachment"); }

  private:
    std::shared_ptr<StoredMessage> msg_;
    ParsedAttachment part_;
};

Result<std::shared_ptr<MailRecipient>> StoredMessage::Recipient(int index) {
    Result<int> n = RecipientCount();
    if (!n) return n.status();
    if (index < 1 || index > *n)
        return Status::Error(Fail::NotFound, "no recipient " + std::to_string(index));
    return std::shared_ptr<MailRecipient>(std::make_shared<StoredRecipient>(
        parsed_->recipients[static_cast<std::size_t>(index - 1)]));
}

Result<std::shared_ptr<MailAttachment>> StoredMessage::Attachment(int index) {
    Result<int> n = AttachmentCount();
    if (!n) return n.status();
    if (index < 1 || index > *n)
        return Status::Error(Fail::NotFound, "no attachment " + std::to_string(index));
    return std::shared_ptr<MailAttachment>(std::make_shared<StoredAttachment>(
        shared_from_this(), parsed_->attachments[static_cast<std::size_t>(index - 1)]));
}

Status StoredMessage::SetUnread(bool unread) {
    if (Status st = Refresh(); !st) return st;
    std::string newName = BaseOf(at_.name) + ":2," + WithFlag(FlagsOf(at_.name), 'S', !unread);
    std::string to = dir_ + "/cur/" + newName;
    if (to == Path()) return Status::Ok();
    if (::rename(Path().c_str(), to.c_str()) != 0)
        return ErrnoStatus(Fail::Io, "cannot flag " + Path());
    at_ = Entry{"cur", newName};
    return Status::Ok();
}

Status StoredMessage::SetMark(MessageMark mark) {
    if (Status st = Refresh(); !st) return st;
    const std::string newName =
        BaseOf(at_.name) + ":2," + WithFlag(FlagsOf(at_.name), FlagOf(mark), true);
    const std::string to = dir_ + "/cur/" + newName;
    if (to == Path()) return Status::Ok();
    if (::rename(Path().c_str(), to.c_str()) != 0)
        return ErrnoStatus(Fail::Io, "cannot mark " + Path());
    const std::string from = dir_ + "/" + at_.sub;
    at_ = Entry{"cur", newName};
    // The mark guards against printing or answering twice after a crash:
    // it must be on disk before the step it guards begins.
    if (Status st = FsyncFolder(dir_ + "/cur"); !st) return st;
    if (from != dir_ + "/cur") return FsyncFolder(from);
    return Status::Ok();
}

Status StoredMessage::MoveTo(const std::string& folderId) {
    auto target = store_->FolderDir(folderId);
    if (!target) return Status::Error(Fail::NotFound, "no folder " + folderId);
    if (Status st = Refresh(); !st) return st;
    std::string base = BaseOf(at_.name);
    const std::string flags = FlagsOf(at_.name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string newName = base + ":2," + flags;
        std::string to = *target + "/cur/" + newName;
        if (to == Path()) return Status::Ok();
        int err = RenameNoReplace(Path(), to);
        if (err == 0) {
            const std::string from = dir_ + "/" + at_.sub;
            dir_ = *target;
            at_ = Entry{"cur", newName};
            // The message has moved either way; a failed sync means a crash
            // could still find it in the old folder.
            if (Status st = FsyncFolder(*target + "/cur"); !st) return st;
            return FsyncFolder(from);
        }
        if (err != EEXIST)
            return Status::Error(Fail::Io,
                                 "cannot move into " + *target + ": " + std::strerror(err));
        // Another message has this name there: this one gets a fresh one.
        base = UniqueName(DeliveryTimeOf(base).value_or(static_cast<std::int64_t>(::time(nullptr))),
                          ++store_->counter);
    }
    return Status::Error(Fail::Io, "cannot find a free name in " + *target);
}

}  // namespace

std::shared_ptr<MailMessage> OpenStoredMessage(std::shared_ptr<StoreState> store,
                                               const std::string& dir, Entry at) {
    return std::make_shared<StoredMessage>(std::move(store), dir, std::move(at));
}

}  // namespace platform::maildir
