#pragma once
// Turns the message files that the POP client saved in the In folder into
// messages of the store's inbox.
#include <string>

#include "platform/MailStore.h"

namespace config {
struct RunGlobals;
}
namespace platform {
class EventLoop;
class Log;
}  // namespace platform

namespace convert {

enum class Outcome {
    Stored,     // the message is in the inbox, durably
    NotStored,  // nothing of it is in the store
};

struct ConvertResult {
    Outcome outcome = Outcome::Stored;
    std::string what;       // when not stored: what could not be done, where and why
    int error = 0;          // the errno behind it, when a system call failed
    std::size_t bytes = 0;  // the message file's size
};

// What a conversion uses of the run: the store and its inbox, the event loop
// it yields to between lines, the run log, the run's In/ and temp/ folders
// with its failure, last error and figures, and the subscriber's address
// that every converted message is addressed to.
struct Conversion {
    platform::MailStore& store;
    platform::FolderId inbox;
    platform::EventLoop& loop;
    platform::Log& log;
    config::RunGlobals& run;
    std::string subscriber;
};

// Converts every "*.txt" file (any case) of the In folder into one inbox
// message and deletes the file once its message is stored. A file whose
// conversion fails stays for the next run; one that fails three runs in a
// row for a reason of its own is moved to In/Unconvertible/ (see
// kSetAsideFolder) with a note saying why.
void ProcessInMessages(const Conversion& c);

// Converts one saved message file into one new inbox message.
ConvertResult ProcessMessage(const Conversion& c, const std::string& path);

// Where In/ keeps the files that failed to convert too often, and the private
// file that counts each file's failed runs ("<count> <name>" per line).
inline constexpr const char* kSetAsideFolder = "Unconvertible";
inline constexpr const char* kFailureCountFile = ".convert-failures";
inline constexpr int kSetAsideAfter = 3;

}  // namespace convert
