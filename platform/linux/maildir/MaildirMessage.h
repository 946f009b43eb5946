#pragma once
// Messages of the Maildir store. A stored message is a file in a folder's
// new/ or cur/; it is parsed once, on the first property read, into the
// small values the callers read (attachment contents stay in the file and are
// streamed out on WriteToFile). A new message collects what is set and is
// written by Update.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MailStore.h"

namespace platform::maildir {

// What a session shares with its folders and messages.
struct StoreState {
    std::string root;     // the profile's Maildir, absolute
    std::string profile;  // the profile name as written in stores.ini
    std::uint64_t counter = 0;

    std::string InboxId() const { return root; }
    // The Maildir folder an ID names, when it lies in this tree and exists.
    std::optional<std::string> FolderDir(const std::string& folderId) const;
};

// Caps on what is held in memory for one message; beyond them the header
// block is cut at a line end and the text is cut.
inline constexpr std::size_t kMaxHeaderBlock = 256 * 1024;
inline constexpr std::size_t kMaxText = 16 * 1024 * 1024;

struct ParsedAttachment {
    std::string name;
    std::string source;
    std::size_t leaf = 0;  // position among the message's leaf parts
};

struct ParsedMessage {
    std::string type = "IPM.Note";
    std::string subject;
    std::string sender;
    std::vector<std::string> recipients;
    std::optional<std::int64_t> date;
    std::string text;
    std::string header;  // the header block, lines ending in CR LF
    std::vector<ParsedAttachment> attachments;
};

// Reads a message file. Never fails on content: what cannot be parsed is
// simply absent. Fails only when the file cannot be opened.
Status ParseMessageFile(const std::string& path, ParsedMessage& out);
// Writes the decoded content of leaf part `leaf` to dest (replacing it).
Status WriteLeafToFile(const std::string& path, std::size_t leaf, const std::string& dest);

// GMime is set up once per process.
void EnsureGMime();

std::shared_ptr<MailMessage> OpenStoredMessage(std::shared_ptr<StoreState> store,
                                               const std::string& dir, const std::string& sub,
                                               const std::string& name);
std::shared_ptr<MailMessage> NewDraftMessage(std::shared_ptr<StoreState> store,
                                             const std::string& dir);

// Splits a message ID into its folder and base name.
bool SplitMessageId(const std::string& id, std::string& dir, std::string& base);

// "b64:" + base64 when the text would not survive a header line unchanged.
std::string EncodeHeaderText(const std::string& text);
std::string DecodeHeaderText(const std::string& value);

}  // namespace platform::maildir
