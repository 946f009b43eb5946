#pragma once
// Reading a message file into the small values callers read. Never fails on
// content (what cannot be parsed is simply absent), only on a file that
// cannot be opened or read. Attachment contents stay in the file and are
// decoded straight into their destination.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MailStore.h"
#include "platform/Result.h"

namespace platform::maildir {

// Caps on what is held in memory for one message; beyond them the header
// block is cut at a line end and the text is cut.
inline constexpr std::size_t kMaxHeaderBlock = 256 * 1024;
inline constexpr std::size_t kMaxText = 16 * 1024 * 1024;

// Where an attachment's transfer-encoded content lies in its file, when
// known: it is then written out from there without parsing the message again.
struct AttachmentPlace {
    std::size_t leaf = 0;  // position among the message's leaf parts
    std::int64_t start = -1, end = -1;
    int encoding = 0;  // GMimeContentEncoding
};

// Fills what the file holds of out (everything but its ID, times received
// and flags) and the places of its attachments.
Status ParseMessageFile(const std::string& path, StoredMessage& out,
                        std::vector<AttachmentPlace>& places);
// Writes the decoded content of an attachment that ParseMessageFile found in
// that file to dest (replacing it): from its known place in large reads,
// else by parsing the file again.
Status WriteAttachmentToFile(const std::string& path, const AttachmentPlace& a,
                             const std::string& dest);

}  // namespace platform::maildir
