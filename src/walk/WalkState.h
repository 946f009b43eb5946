#pragma once
// What the inbox walk knows about the message in hand, under the names the
// rest of the program and its receipts use. One object lives for one walk;
// the per-message part is reset at the start of every message, the header
// values are overwritten as each message is scanned (some carry over on
// purpose, see the comments).
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/MailStore.h"

namespace walk {

// One printable attachment, written to the temp folder as "%04d.<ext>".
struct GoodFaxFile {
    std::int32_t position = 0;  // attachment position, from 1
    std::string ext;            // normalised: TIF, XIF, JPG, TXT, ...
    int kind = 0;               // 0 image, 1 text
    std::string name;           // upper-cased attachment name
};

inline constexpr int kKindImage = 0;
inline constexpr int kKindText = 1;

// The temp-folder name of a good attachment: its position as four digits
// and its extension ("0003.TIF").
inline std::string NumberedName(std::int32_t position, const std::string& ext) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", static_cast<int>(position));
    return std::string(buf) + "." + ext;
}

struct WalkState {
    // Per message, reset by ResetMessage().
    platform::StoredMessage objMessage;
    std::string gMessageType;
    std::string headerText;
    bool flgPOPSaved = false;
    std::string gSubject;
    std::string from;
    std::string FullMsgHdr;
    std::string timeReceived;
    std::string gTimeSent;
    std::string MsgID;
    std::vector<GoodFaxFile> goodFaxFiles;
    std::int32_t goodFaxFilesCount = 0;
    std::vector<std::int32_t> badFaxFiles;
    std::int32_t badFaxFilesCount = 0;
    // For each bad file, in the same order: the report's word for it (""
    // for "Invalid File Format") and why, for the run log.
    std::vector<std::string> badFaxReport;
    std::vector<std::string> badFaxWhy;
    // The conversion's note: what of the message it could not store.
    std::string partsNote;
    std::int32_t tifCount = 0;
    std::int32_t lastTifPosition = 0;
    std::string vCardText;
    std::string gFileReport;
    std::string pageText;

    // Header values. gPOPSentDateTime outlives its message: a message
    // without a send time shows the Date of the last one scanned. The
    // receipt values (gMDNOptions, gFailureText, ...) are only assigned on
    // the paths that need them and otherwise keep what they held.
    std::string gOriginalMsgID;
    std::string ReturnAddr;
    std::string gSenderAddr;
    std::string gPOPSentDateTime;
    std::string ContentType;
    std::string MDNAddr;
    std::string gFaxToAddr;
    std::string gMDNOptions;
    bool gfglFullMode = false;
    std::string gDispositionType;
    std::string gFailureText;
    std::string gProcessReport;

    void ResetMessage() {
        objMessage = {};
        FullMsgHdr.clear();
        gFileReport.clear();
        MDNAddr.clear();
        gFaxToAddr.clear();
        headerText.clear();
        gfglFullMode = false;
        flgPOPSaved = false;
        goodFaxFiles.clear();
        goodFaxFilesCount = 0;
        badFaxFiles.clear();
        badFaxFilesCount = 0;
        badFaxReport.clear();
        badFaxWhy.clear();
        partsNote.clear();
    }
};

// The header page's "Processed:" stamp: a readable local form such as
// "12/05/2026 7:49:56 PM".
std::string ProcessedDateText(std::time_t when);

}  // namespace walk
