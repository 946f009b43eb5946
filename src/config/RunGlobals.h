#pragma once
// Run-wide values set by the start-up and read across the program: the
// program's folders, its constant texts, the last error and the counters.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class ProfileStore;
}

namespace config {

// The kind of failure that ended or marred a run; its number is the exit
// status of voxafax-print (config/ExitStatus.h has the words for each). The
// subsystem where a failure happens notes it; the first one noted wins,
// because later failures are mostly its consequences.
enum class RunFailure : int {
    None = 0,
    Internal = 1,           // an unexpected internal failure
    Usage = 2,              // an argument the program does not take
    Config = 3,             // no or bad profile, printer, store or setting
    AnotherRun = 4,         // another run holds the program folder
    ServerUnreachable = 5,  // POP3 server not found, refused or silent
    LogonRefused = 6,       // the POP3 server refused the user or password
    Retrieval = 7,          // the POP3 session failed part-way
    Storage = 8,            // a message could not be stored or converted
    Printing = 9,           // a fatal printer error
    SendFailed = 10,        // the test message reached no server
    Stopped = 11,           // SIGTERM (or SIGINT, SIGHUP) ended the run at a safe point
};

// What the run did, for the run log and the record of the last run.
struct RunStats {
    std::int32_t messagesDownloaded = 0;
    std::int64_t bytesDownloaded = 0;
    std::int32_t messagesConverted = 0;
    std::int32_t messagesSetAside = 0;    // conversion failed run after run
    std::int32_t messagesPassedOver = 0;  // left on the server: failed session after session
    std::int32_t receiptsSent = 0;
    std::int32_t receiptsQueued = 0;  // left in Out/ for a later run
};

struct RunGlobals {
    std::string gAppTitle = "VOXA-FAX Print Utility";
    std::string gFormCaption = "VOXA-FAX Print v 0.8.1";  // the title form's caption
    std::string gVersion = "0.8.2";
    std::string gMDNBoundary;
    std::string gBannerText;

    std::string gAppPath;  // no trailing slash
    std::string gTempDir;  // gAppPath + "/temp/"
    std::string gInDir;
    std::string gOutFolder;
    std::string gMDNFolder;

    std::string gLastError;
    bool gflgTest = true;  // the text printer holds page bodies back while set
    bool gflgRegularPass = false;
    std::string gCommandSwitch;
    bool flgDeliverNow = false;
    bool gflgPrintTest = false;
    std::string gLogin;
    std::string gPOPServer;

    // Run counters: never reset during a run.
    std::int32_t gVFPrinted = 0;
    std::int32_t gVFUnprintable = 0;
    std::int32_t gRegPrinted = 0;
    std::int32_t gRegUnprintable = 0;
    std::int32_t gFourthCounter = 0;  // written in key session; nothing advances it

    RunFailure failure = RunFailure::None;
    RunStats stats;
    void NoteFailure(RunFailure kind) {
        if (failure == RunFailure::None) failure = kind;
    }

    // Sets the constant texts and the folder names from the program folder.
    void Init(const std::string& appPath);
};

// gLastError as key last_error and the record of the run hold it: one line
// of at most 200 characters, whatever a server or a file put into it; a
// longer one loses its middle.
std::string LastErrorValue(const RunGlobals& run);

// Writes key print_status: the program's one progress channel.
void WriteStatus(platform::ProfileStore& profile, std::string_view text);

}  // namespace config
