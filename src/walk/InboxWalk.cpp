// The first half of the inbox walk: what each message is (regular fax,
// incoming receipt, capability request, report, mail for someone else, or a
// VOXA-FAX) and which of its attachments can be printed. PrintDispatch does
// the rest.
#include "walk/InboxWalk.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/HeaderUtils.h"
#include "mailout/Mailer.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Printers.h"
#include "platform/Text.h"
#include "print/PrintForm.h"
#include "walk/HeldPrints.h"
#include "walk/PrintDispatch.h"
#include "walk/PrintJournal.h"
#include "walk/Session.h"
#include "walk/WalkState.h"

namespace walk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCRLF = "\r\n";
constexpr const char* kFatalPrinterError = "Print Error : Fatal Printer Error";
// A vcard only adds a few lines to the header page; a huge one must not be
// pulled into memory whole.
constexpr std::size_t kMaxVCardBytes = 64 * 1024;
// Moves made durable together. Nothing waits for them (receipts are queued
// before a fax is moved, and the print journal keeps a fax's verdict until
// its move is synced); the bound only limits what a crash sends back to the
// inbox, to be filed again without printing.
constexpr int kMovesPerSync = 64;

// Reads at most `limit` bytes of a file; false when it cannot be opened.
bool ReadHead(const std::string& path, std::size_t limit, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string buf(limit, '\0');
    in.read(buf.data(), static_cast<std::streamsize>(limit));
    buf.resize(static_cast<std::size_t>(in.gcount()));
    out = std::move(buf);
    return true;
}

// An extension may only name a file inside the temp folder.
bool SafeExtension(const std::string& ext) {
    if (ext.empty()) return false;
    for (unsigned char c : ext)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    return ext != "." && ext != "..";
}

class InboxWalker {
  public:
    InboxWalker(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                mailout::Mailer& mailer)
        : ctx_(ctx),
          s_(session),
          form_(printForm),
          mailer_(mailer),
          // Each pass keeps its own journal: the regular pass walks another
          // profile's inbox, whose messages the other journal does not know.
          journal_(ctx.run.gAppPath + (ctx.run.gflgRegularPass ? "/printing-regular" : "/printing"),
                   ctx.run.gflgPrintTest),
          dispatch_(ctx, session, printForm, mailer, w_, journal_) {}

    void Run() {
        s_.moves.clear();
        s_.moveCount = 0;
        if (s_.loggedOn && !s_.gobjInFolder.empty()) {
            // The inbox as it is now: messages that arrive during the walk
            // wait for the next one.
            const std::vector<platform::MessageId> ids =
                s_.store->List(s_.gobjInFolder).value_or({});
            // The journal forgets the faxes filed since: their moves must be
            // on disk first (a run may have ended before it synced them), or
            // a crash could bring a fax back with nothing to say it printed.
            if (journal_.Forgets(ids))
                if (std::string why = SyncFolders(s_); !why.empty()) {
                    Stopped(WalkStop::Storage, why, "");
                    return;
                }
            // Documents that a walk left hidden are named or removed by what
            // the journal says of them, before it forgets any record.
            if (!ctx_.run.gflgPrintTest)
                if (platform::Status st = held_.Recover(); !st) {
                    Stopped(WalkStop::Printer, st.detail, "");
                    return;
                }
            if (platform::Status kept = journal_.Keep(ids); !kept) {
                Stopped(WalkStop::Storage, kept.detail, "");
                return;
            }
            if (!ctx_.run.gflgPrintTest) held_.Hold();
            for (const platform::MessageId& id : ids) {
                // A request to stop (SIGTERM) is taken between faxes: the one
                // before is filed, the rest wait in the inbox.
                if (ctx_.loop.StopRequested()) break;
                WalkStop stop = WalkStop::None;
                try {
                    stop = Message(id);
                } catch (...) {
                    // A store or printer component that throws loses only the
                    // message in hand; it stays in the inbox for the next run.
                }
                if (stop != WalkStop::None) {
                    Stopped(stop, Why(), Describe("fax", w_.from, w_.gSubject));
                    break;
                }
                // File each message as soon as it is handled (when holding,
                // as soon as its batch is committed): a run that is killed
                // mid-walk must not print and answer again, in the next run,
                // everything it had already done.
                if (!ctx_.run.gflgPrintTest && held_.Due()) {
                    if (!CommitHeld()) break;
                    MovesSoFar();
                    if (s_.unsyncedMoves >= kMovesPerSync) SyncSoFar();
                }
            }
        }
        if (ctx_.run.gflgPrintTest) return;
        if (CommitHeld()) MovesSoFar();
        held_.End();
        SyncSoFar();
        // A receipt's failure after it must not hide that the store needs
        // someone's attention.
        if (!noted_.empty()) ctx_.run.gLastError = "Storage Error : " + noted_;
    }

    // The message again, as Message() prints it, with nothing else done.
    Reprinted Reprint(const platform::MessageId& id, std::string& why) {
        reprint_ = true;
        w_.ResetMessage();
        form_.ForgetImages();
        auto item = s_.store->Load(id);
        if (!item) {
            why = item.status().detail;
            return Reprinted::NotFound;
        }
        const bool ok = Handle(std::move(*item)) == WalkStop::None;
        why = Why();
        return !ok ? Reprinted::Failed : reprinted_ ? Reprinted::Printed : Reprinted::NotAFax;
    }

  private:
    std::string Why() const { return storage_.empty() ? dispatch_.FatalReason() : storage_; }

    WalkStop AfterReprint(bool printed) {
        reprinted_ = printed;
        return printed ? WalkStop::None : WalkStop::Printer;
    }

    void MovesSoFar() {
        std::string failed;
        try {
            failed = PerformMoves(s_, ctx_.loop, ctx_.log);
        } catch (...) {
            // Moves not made leave their messages in the inbox.
        }
        // The message stays in the inbox under its verdict: nothing is
        // printed twice, but the store needs someone's attention.
        if (!failed.empty() && noted_.empty()) {
            noted_ = failed;
            ctx_.run.gLastError = "Storage Error : " + failed;
            ctx_.run.NoteFailure(config::RunFailure::Storage);
        }
    }

    // False when the batch could not be made durable: its moves are not
    // made, and the walk stops.
    bool CommitHeld() {
        const platform::Status st = held_.Commit();
        if (st) return true;
        s_.moves.clear();
        s_.moveCount = 0;
        Stopped(WalkStop::Storage, "cannot record the faxes just printed: " + st.detail,
                "the last batch of printed faxes");
        return false;
    }

    void SyncSoFar() {
        std::string failed = SyncMoves(s_, ctx_.log);
        if (!failed.empty() && noted_.empty()) {
            noted_ = failed;
            ctx_.run.gLastError = "Storage Error : " + failed;
            ctx_.run.NoteFailure(config::RunFailure::Storage);
        }
    }

    // The walk stops at the message in hand (`what`; "" before the first),
    // which stays in the inbox with those after it.
    void Stopped(WalkStop stop, const std::string& why, const std::string& what) {
        const std::string left = what.empty() ? std::string("the inbox stays as it is")
                                              : what + " and the faxes after it stay in the inbox";
        if (stop == WalkStop::Printer) {
            ctx_.run.gLastError = kFatalPrinterError;
            ctx_.run.NoteFailure(config::RunFailure::Printing);
            ctx_.log.Error("printer \"" + ctx_.printers.Current() +
                           "\": " + (why.empty() ? std::string("the printer is gone") : why) +
                           "; printing stops, " + left + " for the next run");
            return;
        }
        ctx_.run.gLastError = "Storage Error : " + why;
        ctx_.run.NoteFailure(config::RunFailure::Storage);
        ctx_.log.Error(why + "; the walk stops, " + left + " for the next run; free space in " +
                       ctx_.run.gAppPath + " or make it writable");
    }

    // One message; why the walk must stop there, if it must.
    WalkStop Message(const platform::MessageId& id) {
        ctx_.loop.Yield();
        w_.ResetMessage();
        storage_.clear();
        form_.ForgetImages();  // this message's files are written afresh

        // A message another program took away since the listing is skipped.
        auto item = s_.store->Load(id);
        if (!item) return WalkStop::None;
        return Handle(std::move(*item));
    }

    // The message in hand: classified, checked, then printed (or reprinted);
    // why the walk must stop there, if it must.
    WalkStop Handle(platform::StoredMessage item) {
        w_.objMessage = std::move(item);
        const platform::StoredMessage& msg = w_.objMessage;

        w_.gMessageType = msg.type;
        if (ctx_.run.gflgRegularPass && !platform::ContainsNoCase(w_.gMessageType, "fax"))
            return WalkStop::None;

        std::string text = std::move(w_.objMessage.text);
        SplitPopSaved(text);

        w_.gSubject = msg.subject;
        // A stock subject that some senders' fax machines give every fax;
        // pages and receipts show a name that says what the message is.
        if (w_.gSubject == "Internet Wonder FAX") w_.gSubject = "faxPier100 Fax Message";

        w_.from =
            w_.flgPOPSaved ? convert::GetHeaderField(w_.headerText, "From:") : msg.senderAddress;

        w_.FullMsgHdr = text;
        std::size_t dot = text.find("\r\n.\r\n");
        if (dot != std::string::npos) w_.FullMsgHdr = text.substr(dot);
        text.clear();
        text.shrink_to_fit();

        w_.timeReceived = msg.timeReceived;
        w_.gTimeSent = msg.timeSent;
        // Still the Date of the message scanned before: set by ScanHeader below.
        if (w_.gTimeSent.empty()) w_.gTimeSent = w_.gPOPSentDateTime;
        w_.MsgID = msg.id;

        if (platform::ContainsNoCase(w_.gMessageType, "fax")) {
            if (reprint_) return AfterReprint(dispatch_.PrintAgain(msg, true));
            return dispatch_.PrintRegularFax(msg);
        }

        if (!AddressedToSubscriber(msg)) return WalkStop::None;
        return VoxaFax(msg);
    }

    // A message addressed to the subscriber: what it is, and for a fax which
    // of its attachments print; why the walk must stop there, if it must.
    WalkStop VoxaFax(const platform::StoredMessage& msg) {
        w_.vCardText.clear();
        w_.tifCount = 0;
        std::set<std::string> before = std::move(written_);
        written_.clear();
        const std::string why = CheckAttachments(msg);
        // The files of the message before that this one did not write again
        // go, before any is printed; the others were written over in place
        // (no file made and removed for every fax).
        for (const std::string& path : before)
            if (!written_.count(path)) ::unlink(path.c_str());
        if (!why.empty()) {
            storage_ = why;
            return WalkStop::Storage;
        }

        // Mail delivered by the store's own transports carries its internet
        // header beside the text rather than in it.
        if (w_.headerText.empty() && IsTransportHeader(msg.header)) w_.headerText = msg.header;
        ScanHeader();

        if (platform::ContainsNoCase(w_.ContentType, "report-type=disposition-notification")) {
            // An incoming receipt is only filed away. Its X-VF-Id names the fax
            // it answers; it is read, but nothing is matched against it yet.
            (void)convert::GetHeaderField(w_.headerText, "X-VF-Id:");
            RecordMove(s_, s_.gDeletedFolderID, w_.MsgID);
            return WalkStop::None;
        }

        w_.MDNAddr = convert::GetHeaderField(w_.headerText, "Disposition-Notification-To:");
        if (w_.gSenderAddr.empty()) w_.gSenderAddr = w_.MDNAddr;
        w_.gFaxToAddr = convert::GetHeaderField(w_.headerText, "Fax-To:");
        if (w_.gSenderAddr.empty()) w_.gSenderAddr = w_.gFaxToAddr;

        switch (FullModeRequest()) {
            case Request::Capabilities:
                if (reprint_) return WalkStop::None;
                w_.gDispositionType = "CapsRequest";
                // Answered once, also when a run was killed before filing it.
                if ((ctx_.run.gflgPrintTest || !msg.Marked(platform::MessageMark::Answered)) &&
                    !dispatch_.SendReceipt(msg)) {
                    storage_ = "the receipt could not be recorded in " + ctx_.run.gAppPath +
                               "/receipts.ledger";
                    return WalkStop::Storage;
                }
                RecordMove(s_, s_.gDeletedFolderID, w_.MsgID);
                return WalkStop::None;
            case Request::LeaveAlone:
                return WalkStop::None;
            case Request::Fax:
                break;
        }

        CutAlternatives();
        // What the conversion could not store (parts beyond its cap) makes
        // the fax incomplete: reported on its page and in its receipt.
        w_.partsNote = msg.note;
        WriteFileReport(msg);
        if (reprint_) return AfterReprint(dispatch_.PrintAgain(msg, false));
        return dispatch_.PrintVoxaFax(msg);
    }

    // A message that the POP client saved whole begins with the server's
    // "+OK n octets" reply: the header block is split off the text.
    void SplitPopSaved(std::string& text) {
        std::string_view head = std::string_view(text).substr(0, 20);
        if (head.find("+OK ") == std::string_view::npos ||
            head.find(" octets") == std::string_view::npos)
            return;
        w_.flgPOPSaved = true;
        std::size_t blank = text.find("\r\n\r\n");
        if (blank == std::string::npos) {
            // No blank line: the split stays undone.
            w_.headerText = text.substr(0, 1);
            return;
        }
        w_.headerText = text.substr(0, blank + 2);
        text.erase(0, blank + 4);
    }

    bool AddressedToSubscriber(const platform::StoredMessage& msg) const {
        for (const platform::Recipient& r : msg.recipients)
            if (platform::ContainsNoCase(r.name, ctx_.cfg.gVoxaFaxAddr)) return true;
        return false;
    }

    std::string AttachmentName(const platform::Attachment& att, bool forReport) const {
        if (!w_.flgPOPSaved) return att.source;
        std::string name = att.name;
        if (!forReport) {
            std::size_t semi = name.find(';');
            if (semi != std::string::npos) name.resize(semi);
        }
        return name;
    }

    bool Printable(const std::string& ext) const {
        // A member status below "1" (compared as text, as the scheduler
        // writes it; none at all counts as below) prints TIFF faxes only.
        if (ctx_.cfg.gMemberStatus < "1" && ext != "TIF" && ext != "TIFF") return false;
        const auto& types = ctx_.cfg.gPrintFileTypes;
        const std::size_t count = std::min<std::size_t>(
            types.size(), ctx_.cfg.gPrintFileTypeCount < 0
                              ? 0
                              : static_cast<std::size_t>(ctx_.cfg.gPrintFileTypeCount));
        for (std::size_t k = 0; k < count; ++k)
            if (platform::Upper(types[k]) == ext) return true;
        return false;
    }

    // Writes each attachment into the temp folder and sorts it good or bad;
    // a failure of the program's own files ("" when none), which says
    // nothing about the fax.
    std::string CheckAttachments(const platform::StoredMessage& msg) {
        const int n = static_cast<int>(msg.attachments.size());
        for (int a = 1; a <= n; ++a)
            if (std::string why = CheckAttachment(msg, a); !why.empty()) return why;
        return {};
    }

    // The content of attachment `a` into `path`; the failure of the file
    // system there ("" when it was written, or when the message has none).
    std::string WriteOut(const platform::StoredMessage& msg, int a, const std::string& path) {
        platform::Status st =
            s_.store->WriteAttachment(msg.id, static_cast<std::size_t>(a - 1), path);
        if (st) {
            written_.insert(path);
            return {};
        }
        // An attachment without content leaves no file (not one that an
        // earlier walk left either) and is judged as unreadable; a disk that
        // takes no file is no verdict on the fax.
        ::unlink(path.c_str());
        return st.error != 0 ? st.detail : std::string();
    }

    std::string CheckAttachment(const platform::StoredMessage& msg, int a) {
        const std::string& temp = ctx_.run.gTempDir;
        std::string& gfileExt = form_.state().gfileExt;
        const platform::Attachment& att = msg.attachments[static_cast<std::size_t>(a - 1)];
        std::string name = AttachmentName(att, false);

        // Neither kind is a page: a vcard adds the sender's card to the
        // header page, spiff.dat is skipped. Names are matched as written.
        if (name.find("vcard") != std::string::npos) {
            const std::string path = temp + "vcard.txt";
            if (std::string why = WriteOut(msg, a, path); !why.empty()) return why;
            ReadHead(path, kMaxVCardBytes, w_.vCardText);
            return {};
        }
        if (name.find("spiff.dat") != std::string::npos) return {};

        // A name without a dot leaves the extension of the attachment
        // before it in effect.
        std::string ext;
        if (convert::GetNameExtension(name, ext))
            gfileExt = platform::Upper(platform::TrimBlanks(ext));
        ext = gfileExt;

        if (!Printable(ext)) {
            AddBad(a, "",
                   "attachment " + platform::Upper(name) + " not printed: type " + ext +
                       (ctx_.cfg.gMemberStatus < "1"
                            ? " (only TIFF is printed while Use_Defaults is below 1)"
                            : " is not in Print_File_Types"));
            return {};
        }
        if (ext == "TIFF") ext = "TIF";
        if (ext == "XIFF") ext = "XIF";
        if (ext == "JPEG") ext = "JPG";
        if (!SafeExtension(ext)) {
            AddBad(a, "", "attachment " + platform::Upper(name) + " not printed: its name");
            return {};
        }
        const std::string gsourceFile = temp + NumberedName(a, ext);
        if (std::string why = WriteOut(msg, a, gsourceFile); !why.empty()) return why;

        int kind = kKindText;
        if (ext != "TXT") {
            form_.LoadImageFile(gsourceFile);
            if (!form_.state().storage.empty()) return form_.state().storage;
            if (!form_.state().gflgImageLoaded) {
                std::error_code ec;
                fs::remove(gsourceFile, ec);
                // An image bomb is reported as what it is; anything else
                // keeps the historical verdict.
                AddBad(a, form_.state().limit,
                       "attachment " + platform::Upper(name) +
                           " not printed: " + form_.state().gPrintErrMsg);
                return {};
            }
            kind = kKindImage;
        }
        w_.goodFaxFiles.push_back({a, ext, kind, platform::Upper(name)});
        if (ext == "TIF") {
            ++w_.tifCount;
            w_.lastTifPosition = a;
        }
        ++w_.goodFaxFilesCount;
        return {};
    }

    // report: the word on the page and in the receipt ("" for "Invalid
    // File Format"); why: the run log's line.
    void AddBad(std::int32_t position, const std::string& report, std::string why) {
        w_.badFaxFiles.push_back(position);
        w_.badFaxReport.push_back(report);
        w_.badFaxWhy.push_back(std::move(why));
        ++w_.badFaxFilesCount;
    }

    static bool IsTransportHeader(const std::string& block) {
        return platform::ContainsNoCase(block, "\rFrom: ") ||
               platform::ContainsNoCase(block, "\nSubject: ");
    }

    void ScanHeader() {
        const std::string& h = w_.headerText;
        w_.gOriginalMsgID = convert::GetHeaderField(h, "Message-Id:");
        w_.ReturnAddr = convert::GetHeaderField(h, "Return-Receipt-To:");
        w_.gSenderAddr = convert::GetHeaderField(h, "From:");
        if (w_.gSenderAddr.empty()) w_.gSenderAddr = w_.ReturnAddr;
        w_.gPOPSentDateTime = convert::GetHeaderField(h, "Date:");
        w_.ContentType = convert::GetHeaderField(h, "Content-Type:");
    }

    enum class Request { Fax, Capabilities, LeaveAlone };

    // The sender's internet-fax full-mode requests; the first that applies wins.
    Request FullModeRequest() {
        if (!w_.MDNAddr.empty()) {
            mailer_.state().gSMTPRecipAddr = w_.MDNAddr;
            w_.gMDNOptions =
                convert::GetHeaderField(w_.headerText, "Disposition-Notification-Options:");
            if (platform::ContainsNoCase(w_.gMDNOptions, "G3Fax-capability-request=required") ||
                platform::ContainsNoCase(w_.gMDNOptions, "G3Fax-report-request=required")) {
                w_.gfglFullMode = true;
                return w_.ContentType.empty() ? Request::Capabilities : Request::Fax;
            }
        }
        if (!w_.gFaxToAddr.empty()) {
            // No receipt address of an earlier message may reach this sender;
            // a capability request that comes with Fax-To alone is therefore
            // answered to an empty address.
            mailer_.state().gSMTPRecipAddr.clear();
            // Unlike the options above, Fax-Options must hold exactly this
            // request, in this case, and nothing else.
            if (convert::GetHeaderField(w_.headerText, "Fax-Options:") ==
                "G3Fax-capability-request=required") {
                w_.gfglFullMode = true;
                return w_.ContentType.empty() ? Request::Capabilities : Request::Fax;
            }
        }
        if (platform::ContainsNoCase(w_.ContentType, "multipart/report"))
            return Request::LeaveAlone;
        return Request::Fax;
    }

    // A multipart/alternate message carries the same fax more than once:
    // only one version is printed, the last TIFF when there is one. The test
    // is for "alternate" on purpose: the standard "multipart/alternative"
    // does not contain it, and all of its parts are printed.
    void CutAlternatives() {
        if (!platform::ContainsNoCase(w_.ContentType, "multipart/alternate") ||
            w_.goodFaxFilesCount <= 1)
            return;
        GoodFaxFile keep = w_.goodFaxFiles.front();
        if (w_.tifCount > 0) {
            for (const GoodFaxFile& g : w_.goodFaxFiles)
                if (g.position == w_.lastTifPosition) keep = g;
            keep.kind = kKindImage;
            keep.ext = "TIF";
        }
        w_.goodFaxFiles.assign(1, keep);
        w_.goodFaxFilesCount = 1;
    }

    void WriteFileReport(const platform::StoredMessage& msg) {
        w_.gFileReport.clear();
        for (const GoodFaxFile& g : w_.goodFaxFiles)
            w_.gFileReport += "\t" + g.name + "\tValid VOXA-FAX Format" + kCRLF;
        for (std::size_t i = 0; i < w_.badFaxFiles.size(); ++i) {
            const std::string name = AttachmentName(
                msg.attachments.at(static_cast<std::size_t>(w_.badFaxFiles[i] - 1)), true);
            const std::string& why = w_.badFaxReport[i];
            w_.gFileReport += "\t" + platform::Upper(name) + "\t" +
                              (why.empty() ? std::string("Invalid File Format") : why) + kCRLF;
        }
        if (!w_.partsNote.empty())
            w_.gFileReport += "\tMESSAGE\tNot all parts stored: " + w_.partsNote + kCRLF;
    }

    config::Context& ctx_;
    SessionState& s_;
    print::FrmVFPrint& form_;
    mailout::Mailer& mailer_;
    WalkState w_;
    PrintJournal journal_;
    PrintDispatch dispatch_;  // after w_ and journal_, which it works on
    HeldPrints held_{ctx_.printers, journal_, ctx_.loop.clock()};
    std::string storage_;            // why the classification stopped the walk
    std::string noted_;              // the failed move already in last_error
    std::set<std::string> written_;  // the temp files of the message in hand
    bool reprint_ = false;           // print again only: nothing counted, marked, filed or answered
    bool reprinted_ = false;
};

}  // namespace

void WalkInbox(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
               mailout::Mailer& mailer) {
    InboxWalker(ctx, session, printForm, mailer).Run();
}

Reprinted ReprintMessage(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                         mailout::Mailer& mailer, const platform::MessageId& id, std::string& why) {
    return InboxWalker(ctx, session, printForm, mailer).Reprint(id, why);
}

}  // namespace walk
