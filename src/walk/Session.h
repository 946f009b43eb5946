#pragma once
// The mail-store session of a run: logon with its failure dialogue, the inbox,
// the filing folders, and the list of moves recorded during the inbox walk.
#include <memory>
#include <string>
#include <vector>

#include "platform/MailStore.h"

namespace config {
struct Context;
}

namespace vfmain {

struct SessionState {
    std::unique_ptr<platform::MailSession> gblobjSession;
    std::shared_ptr<platform::MailInfoStore> gobjInfoStore;
    std::shared_ptr<platform::MailFolder> gobjInFolder;
    std::shared_ptr<platform::MailFolder> gobjRootFolder;
    std::string gDeletedFolderID;
    // Filing folders of the passes; empty when not found or created.
    std::string vfPassFolderID, vfPrintedID, vfUnprintableID, vfSentID, vfReceiptsOutID;
    std::string regPassFolderID, regPrintedID, regUnprintableID;

    struct Move {
        std::string folderId;
        std::string messageId;
        // The message itself when the walk has it in hand (no look-up by
        // ID), and what it is for the run log ("fax from ... "), if anything.
        std::shared_ptr<platform::MailMessage> message;
        std::string what;
    };
    std::vector<Move> moves;
    int moveCount = 0;
    int inboxCountBefore = 0;  // inbox count remembered before new mail is fetched
    std::string logonError;    // why the last logon failed, in the store's words
};

// Creates a new session and logs it on; true when the logon returned normally.
// The session stays in gblobjSession either way.
bool SessionLogIn(config::Context& ctx, SessionState& s, const std::string& profileName,
                  bool interactive = false);

// The ID of parent's sub-folder named exactly `name`, adding it when missing;
// "" when it can be neither found nor added.
std::string GetFolderID(config::Context& ctx, const std::string& name,
                        const std::shared_ptr<platform::MailFolder>& parent,
                        std::shared_ptr<platform::MailFolder>& folder);

// Opens the info store and root folder and finds or creates the filing
// folders of the pass (Deleted Items first). False when the walk must be
// skipped (no info store, no root folder).
bool OpenStoreAndFolders(config::Context& ctx, SessionState& s);

// Finds or creates "Regular Faxes" with "Printed" and "Unprintable" when they
// are not known yet: a regular fax met in the VOXA-FAX pass is filed too, so
// that later runs do not print it again.
void EnsureRegularFolders(config::Context& ctx, SessionState& s);

// Records a move for after the walk.
void RecordMove(SessionState& s, const std::string& folderId, const std::string& messageId,
                std::shared_ptr<platform::MailMessage> message = nullptr, std::string what = {});

// Performs the recorded moves in order; a failing move is skipped (the
// message stays in the inbox, and the run log says so).
void PerformMoves(config::Context& ctx, SessionState& s);

// The path of a filing folder by its ID ("VOXA-FAXes/Printed"), for the log.
std::string FolderName(const SessionState& s, const std::string& folderId);

// Logoff and drop the session.
void SessionLogOff(SessionState& s);

}  // namespace vfmain
