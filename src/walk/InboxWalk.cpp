// The first half of the inbox walk: what each message is (regular fax,
// incoming receipt, capability request, report, mail for someone else, or a
// VOXA-FAX) and which of its attachments can be printed. PrintDispatch does
// the rest.
#include "walk/InboxWalk.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
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
#include "walk/IsFileDir.h"
#include "walk/PrintDispatch.h"
#include "walk/PrintProgress.h"
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
          progress_(ctx.run.gAppPath + "/printing"),
          dispatch_(ctx, session, printForm, mailer, w_, progress_) {}

    void Run() {
        s_.moves.clear();
        s_.moveCount = 0;
        if (s_.loggedOn && !s_.gobjInFolder.empty()) {
            // The inbox as it is now: messages that arrive during the walk
            // wait for the next one.
            const std::vector<platform::MessageId> ids =
                s_.store->List(s_.gobjInFolder).value_or({});
            for (const platform::MessageId& id : ids) {
                bool fatal = false;
                try {
                    fatal = !Message(id);
                } catch (...) {
                    // A store or printer component that throws loses only the
                    // message in hand; it stays in the inbox for the next run.
                }
                if (fatal) {
                    ctx_.run.gLastError = kFatalPrinterError;
                    ctx_.run.NoteFailure(config::RunFailure::Printing);
                    const std::string why = dispatch_.FatalReason();
                    ctx_.log.Error("printer \"" + ctx_.printers.Current() + "\": " +
                                   (why.empty() ? std::string("the printer is gone") : why) +
                                   "; printing stops, " + Describe("fax", w_.from, w_.gSubject) +
                                   " and the faxes after it stay in the inbox for the next run");
                    break;
                }
                // File each message as soon as it is handled: a run that is
                // killed mid-walk must not print and answer again, in the next
                // run, everything it had already done.
                if (!ctx_.run.gflgPrintTest) MovesSoFar();
            }
        }
        if (ctx_.run.gflgPrintTest) return;
        MovesSoFar();
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
        const bool ok = Handle(std::move(*item));
        why = dispatch_.FatalReason();
        return !ok ? Reprinted::Failed : reprinted_ ? Reprinted::Printed : Reprinted::NotAFax;
    }

  private:
    void MovesSoFar() {
        try {
            PerformMoves(s_, ctx_.loop, ctx_.log);
        } catch (...) {
            // Moves not made leave their messages in the inbox.
        }
    }

    // One message; false on a fatal printer error.
    bool Message(const platform::MessageId& id) {
        ctx_.loop.Yield();
        w_.ResetMessage();
        form_.ForgetImages();  // this message's files are written afresh

        // A message another program took away since the listing is skipped.
        auto item = s_.store->Load(id);
        if (!item) return true;
        return Handle(std::move(*item));
    }

    // The message in hand: classified, checked, then printed (or reprinted);
    // false on a fatal printer error.
    bool Handle(platform::StoredMessage item) {
        w_.objMessage = std::move(item);
        const platform::StoredMessage& msg = w_.objMessage;

        w_.gMessageType = msg.type;
        if (ctx_.run.gflgRegularPass && !platform::ContainsNoCase(w_.gMessageType, "fax"))
            return true;

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
            if (reprint_) return reprinted_ = dispatch_.PrintAgain(msg, true);
            dispatch_.PrintRegularFax(msg);
            return true;
        }

        if (!AddressedToSubscriber(msg)) return true;
        return VoxaFax(msg);
    }

    // A message addressed to the subscriber: what it is, and for a fax which
    // of its attachments print; false on a fatal printer error.
    bool VoxaFax(const platform::StoredMessage& msg) {
        w_.vCardText.clear();
        // The attachment files of the message before must not pass for this
        // one's: a write that fails here must leave no file to print.
        (void)KillAllFiles(ctx_.run.gTempDir);
        w_.tifCount = 0;
        CheckAttachments(msg);

        // Mail delivered by the store's own transports carries its internet
        // header beside the text rather than in it.
        if (w_.headerText.empty() && IsTransportHeader(msg.header)) w_.headerText = msg.header;
        ScanHeader();

        if (platform::ContainsNoCase(w_.ContentType, "report-type=disposition-notification")) {
            // An incoming receipt is only filed away. Its X-VF-Id names the fax
            // it answers; it is read, but nothing is matched against it yet.
            (void)convert::GetHeaderField(w_.headerText, "X-VF-Id:");
            RecordMove(s_, s_.gDeletedFolderID, w_.MsgID);
            return true;
        }

        w_.MDNAddr = convert::GetHeaderField(w_.headerText, "Disposition-Notification-To:");
        if (w_.gSenderAddr.empty()) w_.gSenderAddr = w_.MDNAddr;
        w_.gFaxToAddr = convert::GetHeaderField(w_.headerText, "Fax-To:");
        if (w_.gSenderAddr.empty()) w_.gSenderAddr = w_.gFaxToAddr;

        switch (FullModeRequest()) {
            case Request::Capabilities:
                if (reprint_) return true;
                w_.gDispositionType = "CapsRequest";
                // Answered once, also when a run was killed before filing it.
                if (ctx_.run.gflgPrintTest || !msg.Marked(platform::MessageMark::Answered))
                    dispatch_.SendReceipt(msg);
                RecordMove(s_, s_.gDeletedFolderID, w_.MsgID);
                return true;
            case Request::LeaveAlone:
                return true;
            case Request::Fax:
                break;
        }

        CutAlternatives();
        // What the conversion could not store (parts beyond its cap) makes
        // the fax incomplete: reported on its page and in its receipt.
        w_.partsNote = msg.note;
        WriteFileReport(msg);
        if (reprint_) return reprinted_ = dispatch_.PrintAgain(msg, false);
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

    void CheckAttachments(const platform::StoredMessage& msg) {
        const std::string& temp = ctx_.run.gTempDir;
        std::string& gfileExt = form_.state().gfileExt;
        const int n = static_cast<int>(msg.attachments.size());
        for (int a = 1; a <= n; ++a) {
            const platform::Attachment& att = msg.attachments[static_cast<std::size_t>(a - 1)];
            auto writeTo = [&](const std::string& path) {
                return s_.store->WriteAttachment(msg.id, static_cast<std::size_t>(a - 1), path);
            };
            std::string name = AttachmentName(att, false);

            // Neither kind is a page: a vcard adds the sender's card to the
            // header page, spiff.dat is skipped. Names are matched as written.
            if (name.find("vcard") != std::string::npos) {
                const std::string path = temp + "vcard.txt";
                if (writeTo(path)) ReadHead(path, kMaxVCardBytes, w_.vCardText);
                continue;
            }
            if (name.find("spiff.dat") != std::string::npos) continue;

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
                continue;
            }
            if (ext == "TIFF") ext = "TIF";
            if (ext == "XIFF") ext = "XIF";
            if (ext == "JPEG") ext = "JPG";
            if (!SafeExtension(ext)) {
                AddBad(a, "", "attachment " + platform::Upper(name) + " not printed: its name");
                continue;
            }
            const std::string gsourceFile = temp + NumberedName(a, ext);
            (void)writeTo(gsourceFile);

            int kind = kKindText;
            if (ext != "TXT") {
                form_.LoadImageFile(gsourceFile);
                if (!form_.state().gflgImageLoaded) {
                    std::error_code ec;
                    fs::remove(gsourceFile, ec);
                    // An image bomb is reported as what it is; anything else
                    // keeps the historical verdict.
                    AddBad(a, form_.state().limit,
                           "attachment " + platform::Upper(name) +
                               " not printed: " + form_.state().gPrintErrMsg);
                    continue;
                }
                kind = kKindImage;
            }
            w_.goodFaxFiles.push_back({a, ext, kind, platform::Upper(name)});
            if (ext == "TIF") {
                ++w_.tifCount;
                w_.lastTifPosition = a;
            }
            ++w_.goodFaxFilesCount;
        }
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
    PrintProgress progress_;
    PrintDispatch dispatch_;  // after w_ and progress_, which it works on
    bool reprint_ = false;  // print again only: nothing counted, marked, filed or answered
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
