#include "walk/Session.h"

#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace walk {

bool SessionLogIn(platform::MailStore& store, SessionState& s, const std::string& profileName,
                  bool interactive) {
    s.store = &store;
    s.loggedOn = false;
    s.gobjInFolder.clear();
    s.logonError = platform::Status::Ok();
    platform::Result<platform::Logon> logon = store.LogOn(profileName, interactive);
    if (!logon) {
        s.logonError = logon.status();
        return false;
    }
    s.loggedOn = true;
    s.profileName = logon->profile;
    s.gobjInFolder = logon->inbox;
    return true;
}

std::string GetFolderID(SessionState& s, const std::vector<std::string>& path) {
    if (!s.loggedOn) return {};
    return s.store->Folder(path).value_or("");
}

bool OpenStoreAndFolders(SessionState& s, bool regularPass) {
    if (!s.loggedOn) return false;
    s.gDeletedFolderID = GetFolderID(s, {"Deleted Items"});
    if (regularPass) {
        s.regPrintedID.clear();
        s.regUnprintableID.clear();
        EnsureRegularFolders(s);
    } else {
        s.vfPassFolderID = GetFolderID(s, {"VOXA-FAXes"});
        s.vfPrintedID = GetFolderID(s, {"VOXA-FAXes", "Printed"});
        s.vfUnprintableID = GetFolderID(s, {"VOXA-FAXes", "Unprintable"});
        // Nothing is filed under these two; they are made so that every
        // subscriber's store shows the same folders under "VOXA-FAXes".
        s.vfSentID = GetFolderID(s, {"VOXA-FAXes", "Sent"});
        s.vfReceiptsOutID = GetFolderID(s, {"VOXA-FAXes", "Receipts Out"});
    }
    return true;
}

void EnsureRegularFolders(SessionState& s) {
    if (!s.loggedOn || (!s.regPrintedID.empty() && !s.regUnprintableID.empty())) return;
    s.regPassFolderID = GetFolderID(s, {"Regular Faxes"});
    s.regPrintedID = GetFolderID(s, {"Regular Faxes", "Printed"});
    s.regUnprintableID = GetFolderID(s, {"Regular Faxes", "Unprintable"});
}

int InboxCount(SessionState& s) {
    if (!s.loggedOn || s.gobjInFolder.empty()) return 0;
    return static_cast<int>(s.store->List(s.gobjInFolder).value_or({}).size());
}

void RecordMove(SessionState& s, const std::string& folderId, const std::string& messageId,
                std::string what, bool markPrinted) {
    s.moves.push_back(SessionState::Move{folderId, messageId, std::move(what), markPrinted});
    ++s.moveCount;
}

std::string FolderName(const SessionState& s, const std::string& folderId) {
    const std::pair<const std::string*, const char*> known[] = {
        {&s.vfPrintedID, "VOXA-FAXes/Printed"},
        {&s.vfUnprintableID, "VOXA-FAXes/Unprintable"},
        {&s.regPrintedID, "Regular Faxes/Printed"},
        {&s.regUnprintableID, "Regular Faxes/Unprintable"},
        {&s.gDeletedFolderID, "Deleted Items"},
    };
    for (const auto& [id, name] : known)
        if (!id->empty() && *id == folderId) return name;
    return folderId;
}

std::string PerformMoves(SessionState& s, platform::EventLoop& loop, platform::Log& log) {
    std::string failed;
    if (s.loggedOn) {
        for (const auto& m : s.moves) {
            loop.Yield();
            const std::string where = FolderName(s, m.folderId);
            if (m.markPrinted)
                if (const platform::Status st =
                        s.store->Mark(m.messageId, platform::MessageMark::Printed);
                    !st)
                    log.Warning("cannot mark " +
                                (m.what.empty() ? std::string("a message") : m.what) +
                                " printed: " + st.detail);
            // A folder that was never found: the move fails.
            const platform::Status st =
                m.folderId.empty()
                    ? platform::Status::Error(platform::Fail::NotFound, "no such folder")
                    : s.store->Move(m.messageId, m.folderId).status();
            const std::string what = m.what.empty() ? "a message" : m.what;
            if (st) {
                s.movedInto.insert(m.folderId);
                ++s.unsyncedMoves;
                if (!m.what.empty()) log.Info("filed " + m.what + " in " + where);
                continue;
            }
            const std::string line = "cannot file " + what + " in " +
                                     (where.empty() ? std::string("its folder") : where) + ": " +
                                     st.detail;
            log.Error(line +
                      "; it stays in the inbox and is filed, not printed again, by the next run; "
                      "check that the store's folders can be written");
            if (failed.empty()) failed = line;
        }
    }
    s.moves.clear();
    s.moveCount = 0;
    return failed;
}

std::string SyncMoves(SessionState& s, platform::Log& log) {
    if (!s.loggedOn || s.unsyncedMoves == 0) return {};
    std::string failed;
    const int moves = s.unsyncedMoves;
    std::set<std::string> folders = std::move(s.movedInto);
    folders.insert(s.gobjInFolder);
    s.movedInto.clear();
    s.unsyncedMoves = 0;
    for (const std::string& folder : folders) {
        const platform::Status st = s.store->Sync(folder);
        if (st || !failed.empty()) continue;
        failed = "cannot sync " +
                 (folder == s.gobjInFolder ? std::string("the inbox") : FolderName(s, folder)) +
                 ": " + st.detail;
        log.Error(failed + "; " + std::to_string(moves) +
                  " faxes filed since the last sync could return to the inbox after a crash, "
                  "where the next run files them without printing them again; check that "
                  "the store's folders can be written");
    }
    return failed;
}

std::string SyncFolders(SessionState& s) {
    if (!s.loggedOn) return {};
    const std::string* folders[] = {&s.gobjInFolder,    &s.gDeletedFolderID, &s.vfPrintedID,
                                    &s.vfUnprintableID, &s.regPrintedID,     &s.regUnprintableID};
    for (const std::string* f : folders) {
        if (f->empty()) continue;
        if (const platform::Status st = s.store->Sync(*f); !st)
            return "cannot sync " +
                   (*f == s.gobjInFolder ? std::string("the inbox") : FolderName(s, *f)) + ": " +
                   st.detail;
    }
    return {};
}

void SessionLogOff(SessionState& s) {
    if (s.loggedOn) s.store->LogOff();
    s.loggedOn = false;
    s.gobjInFolder.clear();
}

}  // namespace walk
