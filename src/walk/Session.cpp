#include "walk/Session.h"

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace vfmain {

bool SessionLogIn(config::Context& ctx, SessionState& s, const std::string& profileName,
                  bool interactive) {
    s.gblobjSession.reset();
    s.gobjInFolder.reset();
    s.gobjInfoStore.reset();
    s.gobjRootFolder.reset();
    s.logonError.clear();
    auto session = ctx.stores.CreateSession();
    if (!session) {
        s.logonError = session.status().detail;
        return false;
    }
    s.gblobjSession = std::move(*session);
    platform::Status st = s.gblobjSession->Logon(profileName, interactive);
    if (!st) s.logonError = st.detail;
    return st.ok();
}

std::string GetFolderID(config::Context& ctx, const std::string& name,
                        const std::shared_ptr<platform::MailFolder>& parent,
                        std::shared_ptr<platform::MailFolder>& folder) {
    if (!parent) return {};
    auto count = parent->FolderCount();
    const int n = count ? *count : 0;
    for (int i = 1; i <= n; ++i) {
        ctx.loop.Yield();
        auto sub = parent->Folder(i);
        if (!sub || !*sub) continue;
        auto subName = (*sub)->Name();
        if (subName && *subName == name) {  // exact, case-sensitive
            folder = *sub;
            return (*sub)->ID().value_or("");
        }
    }
    auto added = parent->AddFolder(name);
    if (!added || !*added) return {};
    folder = *added;
    return (*added)->ID().value_or("");
}

bool OpenStoreAndFolders(config::Context& ctx, SessionState& s) {
    if (!s.gblobjSession) return false;
    // The counts, names and IDs read here and dropped are reads a store may
    // act on (a folder count lists the folders afresh); only the objects
    // are used.
    (void)s.gblobjSession->InfoStoreCount();
    auto store = s.gblobjSession->InfoStore(1);
    if (!store || !*store) return false;
    s.gobjInfoStore = *store;
    (void)s.gobjInfoStore->ID();
    auto root = s.gobjInfoStore->RootFolder();
    if (!root || !*root) {
        config::WriteStatus(ctx.profile,
                            "Inbox Error : no root folder for profile " + ctx.cfg.gVoxaFaxProfile);
        ctx.run.NoteFailure(config::RunFailure::Config);
        ctx.log.Error("mail-store profile " + ctx.cfg.gVoxaFaxProfile + ": no root folder (" +
                      (root ? std::string("none") : root.status().detail) +
                      "); nothing is printed or filed; check its maildir in " +
                      ctx.env.StoresIni());
        return false;
    }
    s.gobjRootFolder = *root;
    (void)s.gobjRootFolder->Name();
    (void)s.gobjRootFolder->FolderCount();

    std::shared_ptr<platform::MailFolder> folder;
    s.gDeletedFolderID = GetFolderID(ctx, "Deleted Items", s.gobjRootFolder, folder);
    if (ctx.run.gflgRegularPass) {
        s.regPrintedID.clear();
        s.regUnprintableID.clear();
        EnsureRegularFolders(ctx, s);
        config::WriteStatus(ctx.profile, "Printing regular faxes");
    } else {
        std::shared_ptr<platform::MailFolder> pass;
        s.vfPassFolderID = GetFolderID(ctx, "VOXA-FAXes", s.gobjRootFolder, pass);
        s.vfPrintedID = GetFolderID(ctx, "Printed", pass, folder);
        s.vfUnprintableID = GetFolderID(ctx, "Unprintable", pass, folder);
        // Nothing is filed under these two; they are made so that every
        // subscriber's store shows the same folders under "VOXA-FAXes".
        s.vfSentID = GetFolderID(ctx, "Sent", pass, folder);
        s.vfReceiptsOutID = GetFolderID(ctx, "Receipts Out", pass, folder);
    }
    return true;
}

void EnsureRegularFolders(config::Context& ctx, SessionState& s) {
    if (!s.gobjRootFolder || (!s.regPrintedID.empty() && !s.regUnprintableID.empty())) return;
    std::shared_ptr<platform::MailFolder> pass, folder;
    s.regPassFolderID = GetFolderID(ctx, "Regular Faxes", s.gobjRootFolder, pass);
    s.regPrintedID = GetFolderID(ctx, "Printed", pass, folder);
    s.regUnprintableID = GetFolderID(ctx, "Unprintable", pass, folder);
}

void RecordMove(SessionState& s, const std::string& folderId, const std::string& messageId,
                std::shared_ptr<platform::MailMessage> message, std::string what) {
    s.moves.push_back(SessionState::Move{folderId, messageId, std::move(message), std::move(what)});
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

void PerformMoves(config::Context& ctx, SessionState& s) {
    if (s.gblobjSession) {
        for (const auto& m : s.moves) {
            ctx.loop.Yield();
            const std::string where = FolderName(s, m.folderId);
            platform::Status st;
            if (m.folderId.empty()) {
                // A folder that was never found: the move fails.
                st = platform::Status::Error(platform::Fail::NotFound, "no such folder");
            } else if (m.message) {
                st = m.message->MoveTo(m.folderId);
            } else if (auto msg = s.gblobjSession->GetMessage(m.messageId); msg && *msg) {
                st = (*msg)->MoveTo(m.folderId);
            } else {
                st = msg ? platform::Status::Error(platform::Fail::NotFound, "gone") : msg.status();
            }
            if (m.what.empty()) continue;
            if (st)
                ctx.log.Info("filed " + m.what + " in " + where);
            else
                ctx.log.Warning(m.what + " could not be filed in " +
                                (where.empty() ? std::string("its folder") : where) + ": " +
                                st.detail + "; it stays in the inbox for the next run");
        }
    }
    s.moves.clear();
    s.moveCount = 0;
}

void SessionLogOff(SessionState& s) {
    if (s.gblobjSession) (void)s.gblobjSession->Logoff();
    s.gblobjSession.reset();
    s.gobjInFolder.reset();
    s.gobjInfoStore.reset();
    s.gobjRootFolder.reset();
}

}  // namespace vfmain
