#pragma once
// The walker's bounds. The defaults are what the program uses; tests shrink
// them to reach the edges with small inputs.
#include <cstddef>
#include <string>

#include "platform/MailStore.h"

namespace convert {

struct ConvertResult;
struct Conversion;

struct WalkerLimits {
    // Bytes read from the message file at a time.
    std::size_t readBuffer = 64 * 1024;
    // A line longer than this is handled as several pieces: each piece is
    // tested like a line, and only the last one is followed by CR LF. Keeps a
    // one-line 20 MB base64 body from being held whole.
    std::size_t maxLinePiece = 256 * 1024;
    // Header lines beyond this many bytes are read but not kept in the header
    // text (which becomes part of the stored message text).
    std::size_t maxHeaderText = 1024 * 1024;
    // A text part that grows beyond this is no longer held: what was read so
    // far and the rest of the part go to the body file and the part becomes
    // an attachment "UNKNOWN.TXT" (decoded by its own encoding).
    std::size_t maxTextPart = 8 * 1024 * 1024;
    // Single-part messages above this size become an attachment.
    std::size_t singlePartTextMax = 30000;
    // Attachment parts beyond this many are left out (and counted in the
    // message's note): a hostile message cannot make the store hold
    // millions of parts.
    std::size_t maxAttachments = 10000;
};

// With syncFolder false the inbox is not synced: the message is stored only
// once the caller's Sync of the inbox has returned.
ConvertResult ProcessMessageWith(const Conversion& c, const std::string& path,
                                 const WalkerLimits& limits, bool syncFolder = true);

inline constexpr const char* kMissingBoundaryField = "X-VF-Error: MISSING BOUNDARY";
inline constexpr const char* kMissingBoundaryNotice =
    "The incoming VOXA-FAX may have been corrupted.";

}  // namespace convert
