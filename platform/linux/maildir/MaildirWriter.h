#pragma once
// Composing a new message file and delivering it into a Maildir folder.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Result.h"
#include "platform/linux/maildir/MaildirFs.h"

namespace platform::maildir {

// A private copy of an attachment's content, taken when it is read in: the
// caller may reuse its file for the next part before the message is saved.
// The copy is an unlinked file in the folder's tmp/, so a crash leaves
// nothing behind.
class StagedContent {
  public:
    Status Stage(const std::string& tmpDir, const std::string& from);
    bool Empty() const { return !fd_; }
    // Copies the whole content to `to` (its name for messages: `path`).
    Status CopyTo(int to, const std::string& path) const;
    // A descriptor of its own for reading the content from its start.
    Result<UniqueFd> Reopen() const;

  private:
    UniqueFd fd_;
};

struct RecipientDraft {
    std::string address;  // as set, "SMTP:x@y"
    int type = 1;         // 1 To, 2 Cc, 3 Bcc
};

struct AttachmentDraft {
    std::string name;
    std::string source;
    int type = 1;
    int position = 0;
    StagedContent content;  // none until ReadFromFile
};

// What a new message collects before its Update.
struct MessageDraft {
    std::optional<std::string> subject, text, senderName, note;
    std::optional<std::int64_t> timeSent, timeReceived;
    bool unread = true;
    std::vector<std::shared_ptr<RecipientDraft>> recipients;
    std::vector<std::shared_ptr<AttachmentDraft>> attachments;
};

// Writes the message into dir's tmp/, syncs it, renames it into new/ (into
// cur/ with the seen flag when it is not unread) and syncs that folder.
// Readers never see part of a message; on failure nothing is delivered and a
// crash leaves at most a stray file in tmp/. Returns where the message went.
Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const MessageDraft& draft);

// "SMTP:x@y" -> "x@y"; other texts as they are.
std::string StripSmtpPrefix(const std::string& address);

}  // namespace platform::maildir
