#pragma once
// The texts the program sends: the receipt (a disposition notification with
// the internet-fax fields) and the test message, and the Out/ queue file a
// receipt waits in until it has been sent.
#include <ctime>
#include <string>

namespace config {
struct NodeConfig;
struct RunGlobals;
}  // namespace config

namespace mailout {

struct ReceiptInputs;

// Local date and time as the outgoing texts show them.
struct LocalStamp {
    std::string date;   // "mm/dd/yyyy"
    std::string time;   // "hh:mm:ss AM" / "PM"
    std::string stamp;  // "yyyymmddhhnnss"
    std::string rfc;    // "Fri, 12 Jun 2026 18:25:01 +0200", the internet message format's
};
LocalStamp StampAt(std::time_t when);
// "2026-06-12 18:25", local time: how the run log gives a date.
std::string DateForLog(std::time_t when);

// The whole receipt, ending in the end-of-data marker. With `standards`
// its Message-Id is in angle brackets and its Date in the internet message
// format; else both are as they have always been.
std::string ComposeMDNText(const ReceiptInputs& in, const std::string& recipient,
                           const config::NodeConfig& cfg, const config::RunGlobals& run,
                           const LocalStamp& now, bool standards = false);

// The test message to gSMTPRecipAddr, ending in the end-of-data marker.
// With `standards` it has a From: field and an internet-format Date.
std::string ComposeTestMessageText(const std::string& recipient, const config::NodeConfig& cfg,
                                   const config::RunGlobals& run, const LocalStamp& now,
                                   bool standards = false);

// Puts `text` into `folder` as "<stamp>.MDN" and returns the bare name ("" when
// it could not be written). The file is complete and on disk before the name
// appears. A name already taken belongs to a receipt that was never sent, so
// it is kept and this one gets "<stamp>_2.MDN", "_3", ...
std::string QueueReceiptFile(const std::string& folder, const std::string& stamp,
                             const std::string& text);

// The two halves of QueueReceiptFile, for a caller that records the receipt
// in between: the text written whole under a hidden name of `folder` (its
// path, "" on failure), then that file given its "<stamp>.MDN" name (the
// bare name, "" when none could be given; the hidden file then stays).
inline constexpr const char* kStagedPrefix = ".queue-";
std::string StageReceiptFile(const std::string& folder, const std::string& text);
std::string PublishReceiptFile(const std::string& folder, const std::string& stamp,
                               const std::string& staged);

}  // namespace mailout
