#pragma once
// The mail-store session of a run: logon, the inbox, the filing folders, and
// the list of moves recorded during the inbox walk.
#include <set>
#include <string>
#include <vector>

#include "platform/MailStore.h"

namespace platform {
class EventLoop;
class Log;
}  // namespace platform

namespace walk {

struct SessionState {
    platform::MailStore* store = nullptr;  // the run's store; set by SessionLogIn
    bool loggedOn = false;
    std::string profileName;          // the profile logged on to, as the store writes it
    platform::FolderId gobjInFolder;  // the inbox; "" when there is none
    std::string gDeletedFolderID;
    // Filing folders of the passes; empty when not found or created.
    std::string vfPassFolderID, vfPrintedID, vfUnprintableID, vfSentID, vfReceiptsOutID;
    std::string regPassFolderID, regPrintedID, regUnprintableID;

    struct Move {
        std::string folderId;
        std::string messageId;
        std::string what;          // what it is for the run log ("fax from ... "), if anything
        bool markPrinted = false;  // marked printed first (held until its batch was committed)
    };
    std::vector<Move> moves;
    int moveCount = 0;
    // Folders that messages were moved into since the moves were last synced,
    // and how many moves wait for that sync.
    std::set<std::string> movedInto;
    int unsyncedMoves = 0;
    int inboxCountBefore = 0;     // inbox count remembered before new mail is fetched
    platform::Status logonError;  // why the last logon failed, in the store's words
};

// Logs on to a profile of the store; true when the logon returned normally.
bool SessionLogIn(platform::MailStore& store, SessionState& s, const std::string& profileName,
                  bool interactive = false);

// The ID of the folder at this path under the root folder (names compared
// exactly), made when missing; "" when it can be neither found nor made.
std::string GetFolderID(SessionState& s, const std::vector<std::string>& path);

// Finds or creates the filing folders of the pass (Deleted Items first).
// False when the walk must be skipped (not logged on).
bool OpenStoreAndFolders(SessionState& s, bool regularPass);

// Finds or creates "Regular Faxes" with "Printed" and "Unprintable" when they
// are not known yet: a regular fax met in the VOXA-FAX pass is filed too, so
// that later runs do not print it again.
void EnsureRegularFolders(SessionState& s);

// The number of messages in the inbox now; 0 without one.
int InboxCount(SessionState& s);

// Records a move for after the walk.
void RecordMove(SessionState& s, const std::string& folderId, const std::string& messageId,
                std::string what = {}, bool markPrinted = false);

// Performs the recorded moves in order; a failing move is skipped (the
// message stays in the inbox, and the run log says so). The first failure,
// in words ("" when every move was made).
std::string PerformMoves(SessionState& s, platform::EventLoop& loop, platform::Log& log);

// Makes the moves performed since the last call durable: one sync of each
// folder moved into and one of the inbox they left, for all of them. The
// first failure, in words ("" when every folder was synced).
std::string SyncMoves(SessionState& s, platform::Log& log);

// Makes every move into or out of the pass's folders durable, also those of
// a run that ended before it synced them: before a record of the faxes it
// moved may be forgotten. The first failure, in words ("" when none).
std::string SyncFolders(SessionState& s);

// The path of a filing folder by its ID ("VOXA-FAXes/Printed"), for the log.
std::string FolderName(const SessionState& s, const std::string& folderId);

// Logs off.
void SessionLogOff(SessionState& s);

}  // namespace walk
