#pragma once
// Reading a message file into the small values callers read. Never fails on
// content (what cannot be parsed is simply absent), only on a file that
// cannot be opened or read. Attachment contents stay in the file and are
// decoded straight into their destination.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform::maildir {

// Caps on what is held in memory for one message; beyond them the header
// block is cut at a line end and the text is cut.
inline constexpr std::size_t kMaxHeaderBlock = 256 * 1024;
inline constexpr std::size_t kMaxText = 16 * 1024 * 1024;

struct ParsedAttachment {
    std::string name;
    std::string source;
    std::size_t leaf = 0;  // position among the message's leaf parts
    // Where its transfer-encoded content lies in the file, when known: it is
    // then written out from there without parsing the message again.
    std::int64_t start = -1, end = -1;
    int encoding = 0;  // GMimeContentEncoding
};

struct ParsedMessage {
    std::string type = "IPM.Note";
    std::string subject;
    std::string sender;
    std::vector<std::string> recipients;
    std::optional<std::int64_t> date;
    std::string text;
    std::string header;  // the header block, lines ending in CR LF
    std::string note;    // the conversion's note (kNoteHeader)
    std::vector<ParsedAttachment> attachments;
};

Status ParseMessageFile(const std::string& path, ParsedMessage& out);
// Writes the decoded content of leaf part `leaf` to dest (replacing it).
Status WriteLeafToFile(const std::string& path, std::size_t leaf, const std::string& dest);
// The same for an attachment that ParseMessageFile found in that file: from
// its known place in large reads, else by parsing the file again.
Status WriteAttachmentToFile(const std::string& path, const ParsedAttachment& a,
                             const std::string& dest);

}  // namespace platform::maildir
