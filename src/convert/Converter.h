#pragma once
// Turns the message files that the POP client saved in the In folder into
// messages of the store's inbox.
#include <string>

#include "platform/MailStore.h"

namespace config {
struct Context;
}

namespace convert {

enum class Outcome {
    Stored,     // the message is in the inbox, durably
    NotStored,  // nothing of it is in the store
};

struct ConvertResult {
    Outcome outcome = Outcome::Stored;
    std::string what;  // when not stored: what could not be done, where and why
    int error = 0;     // the errno behind it, when a system call failed
};

// Converts every "*.txt" file (any case) of the In folder into one inbox
// message and deletes the file once its message is stored. A file whose
// conversion fails stays for the next run; one that fails three runs in a
// row for a reason of its own is moved to In/Unconvertible/ (see
// kSetAsideFolder) with a note saying why.
void ProcessInMessages(config::Context& ctx, const platform::FolderId& inbox);

// Converts one saved message file into one new inbox message.
ConvertResult ProcessMessage(config::Context& ctx, const platform::FolderId& inbox,
                             const std::string& path);

// Where In/ keeps the files that failed to convert too often, and the private
// file that counts each file's failed runs ("<count> <name>" per line).
inline constexpr const char* kSetAsideFolder = "Unconvertible";
inline constexpr const char* kFailureCountFile = ".convert-failures";
inline constexpr int kSetAsideAfter = 3;

}  // namespace convert
