#pragma once
// Composing a new message file and delivering it into a Maildir folder.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Result.h"
#include "linux/maildir/MaildirFs.h"

namespace platform::maildir {

// Where one attachment's content lies in its draft's spool, base64-encoded.
struct SpoolRange {
    off_t offset = 0;
    off_t length = 0;
};

// The attachments of a draft, base64-encoded as they will stand in the
// message file, one after another in one unlinked file of the folder's tmp/.
// An attachment's file is read and closed before the call returns: a draft
// holds one descriptor however many attachments it has, the caller may reuse
// its file for the next part at once, and a crash leaves nothing behind.
class PartSpool {
  public:
    explicit PartSpool(std::string tmpDir) : tmpDir_(std::move(tmpDir)) {}
    // Emptied, the file is kept for the next message's spool.
    ~PartSpool();
    PartSpool(const PartSpool&) = delete;
    PartSpool& operator=(const PartSpool&) = delete;
    // Appends the file's bytes, encoded.
    Result<SpoolRange> AddFile(const std::string& from);
    // Appends base64 text that is already in the form the message file keeps:
    // lines (CR LF or LF) of at most 76 alphabet characters, padding only at
    // the end, whole groups, empty lines only at the end. It is copied with LF
    // line ends, not decoded and encoded again. Other text fails with
    // Fail::Format and leaves the spool as it was.
    Result<SpoolRange> AddEncoded(const std::string& from);
    // Copies a range as it is to `to` (named `path` in messages).
    Status CopyTo(const SpoolRange& r, int to, const std::string& path) const;
    // Writes a range's content, decoded, to `to`.
    Status DecodeTo(const SpoolRange& r, int to, const std::string& path) const;

  private:
    Status Open();
    Status Append(std::string_view data);
    // Reads the file in chunks, handing each to `piece` and then calling
    // `end`; what they append becomes the range. On any failure the spool
    // is as it was.
    Result<SpoolRange> Fill(const std::string& from,
                            const std::function<Status(std::string_view)>& piece,
                            const std::function<Status()>& end);
    // Drops what was appended after `offset`.
    void Rewind(off_t offset);
    std::string tmpDir_;
    UniqueFd fd_;
    off_t end_ = 0;
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
    std::optional<SpoolRange> content;  // none until ReadFromFile
};

// What a new message collects before its Update.
struct MessageDraft {
    std::optional<std::string> subject, text, senderName, note;
    std::optional<std::int64_t> timeSent, timeReceived;
    bool unread = true;
    std::vector<std::shared_ptr<RecipientDraft>> recipients;
    std::vector<std::shared_ptr<AttachmentDraft>> attachments;
    std::shared_ptr<PartSpool> spool;  // made with the first attachment's content
};

// Writes the message into dir's tmp/, syncs it, renames it into new/ (into
// cur/ with the seen flag when it is not unread) and syncs that folder.
// Every write is checked; a short or failed one (a full disk, a read-only
// file system) leaves nothing in the folder.
// Readers never see part of a message; on failure nothing is delivered and a
// crash leaves at most a stray file in tmp/. Returns where the message went.
// With syncFolder false the folder is not synced: the message's path is
// noted in store.unsynced for SyncDelivered.
Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const MessageDraft& draft,
                             bool syncFolder = true);

// Syncs the folders of dir's unsynced deliveries; when one cannot be synced
// its messages are removed again. The first failure is returned.
Status SyncDelivered(StoreState& store, const std::string& dir);

// "SMTP:x@y" -> "x@y"; other texts as they are.
std::string StripSmtpPrefix(const std::string& address);

}  // namespace platform::maildir
