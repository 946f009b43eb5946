// Printing of a classified message: header pages, attachments, the verdict,
// the totals, the receipt and the folder it is filed in.
#include "walk/PrintDispatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Printers.h"
#include "platform/Text.h"
#include "print/PrintForm.h"
#include "print/TextPrinter.h"
#include "walk/Session.h"
#include "walk/WalkState.h"

namespace walk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCRLF = "\r\n";
constexpr const char* kTooManyPages = "Too many pages";
// A text attachment is printed from one string. Beyond this size (some 2,000
// full pages) it is judged unreadable rather than pulled into memory.
constexpr std::uintmax_t kMaxTextFileBytes = 16u * 1024 * 1024;

std::string Pages(int n) {
    return std::to_string(n) + (n == 1 ? " page" : " pages");
}

// The documents of one fax go to the printer under their keys; none after.
struct DocumentKeyReset {
    platform::Printers& printers;
    ~DocumentKeyReset() { printers.SetDocumentKey(""); }
};

}  // namespace

std::string ProcessedDateText(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    int hour12 = tm.tm_hour % 12;
    if (hour12 == 0) hour12 = 12;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %d:%02d:%02d %s", tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_year + 1900, hour12, tm.tm_min, tm.tm_sec, tm.tm_hour < 12 ? "AM" : "PM");
    return buf;
}

std::string Describe(const char* kind, const std::string& from, const std::string& subject) {
    return std::string(kind) + " from " + (from.empty() ? std::string("(no sender)") : from) +
           " \"" + subject + "\"";
}

PrintDispatch::PrintDispatch(config::Context& ctx, SessionState& session,
                             print::FrmVFPrint& printForm, mailout::Mailer& mailer, WalkState& w,
                             PrintJournal& journal)
    : ctx_(ctx), s_(session), form_(printForm), mailer_(mailer), w_(w), journal_(journal) {}

void PrintDispatch::ResetFax() {
    record_ = nullptr;
    decided_ = Verdict::None;
    journaling_ = false;
    resumed_ = false;
    document_ = 0;
    msgKey_.clear();
    pages_ = faxPages_ = 0;
    capped_ = false;
    cappedAt_.clear();
    deliveryCount_ = 0;
    deliveries_.clear();
    fatal_.clear();
    stop_ = WalkStop::None;
}

WalkStop PrintDispatch::Storage(const std::string& why) {
    fatal_ = why;
    stop_ = WalkStop::Storage;
    return stop_;
}

bool PrintDispatch::Journaled(const platform::Status& st) {
    if (st) return true;
    Storage(st.detail);
    return false;
}

// Where printing the fax in hand starts: from its first document, after the
// documents an earlier run printed, or (its verdict known) nowhere.
WalkStop PrintDispatch::BeginFax(const platform::StoredMessage& msg) {
    ResetFax();
    // A print test prints again what it printed, and keeps nothing.
    journaling_ = !ctx_.run.gflgPrintTest;
    msgKey_ = MessageDigest(w_.MsgID).substr(4);
    if (!journaling_) return WalkStop::None;
    record_ = journal_.Find(w_.MsgID);
    resumed_ = record_ != nullptr;
    if (record_) decided_ = record_->verdict;
    // The Printed mark alone: a run that kept no journal of it.
    if (decided_ == Verdict::None && msg.Marked(platform::MessageMark::Printed))
        decided_ = Verdict::Printed;
    if (record_ || decided_ != Verdict::None) return WalkStop::None;
    // Noted before the first document goes out, so that a run killed in
    // the middle of this fax is known to the next one as begun.
    if (!Journaled(journal_.Begin(w_.MsgID))) return stop_;
    record_ = journal_.Find(w_.MsgID);
    return WalkStop::None;
}

// Names document n of the fax at the printer ("<message>-<n>-<kind>") and
// says whether to print it: not when an earlier run printed it, or judged it,
// or (the one document after those it recorded) handed it to the printer
// just before it ended, which the printer knows by its name.
PrintDispatch::Doc PrintDispatch::Document(const char* kind, std::string& report) {
    const std::string key =
        msgKey_.empty() ? std::string() : msgKey_ + "-" + std::to_string(document_) + "-" + kind;
    ctx_.printers.SetDocumentKey(key);
    const DocumentRecord* d = record_ ? record_->Document(document_) : nullptr;
    const auto state = d ? d->state : DocumentRecord::State::Unknown;
    if (state == DocumentRecord::State::Failed) {
        report = d->report;
        ++document_;
        return Doc::Failed;
    }
    if (state == DocumentRecord::State::Printed || decided_ != Verdict::None) {
        if (d) faxPages_ += d->pages;
        ++document_;
        return Doc::Printed;
    }
    if (resumed_ && document_ == static_cast<int>(record_->documents.size()) &&
        ctx_.printers.Delivered("", key)) {
        return DocumentPrinted(0) ? Doc::Printed : Doc::Failed;
    }
    return Doc::Print;
}

bool PrintDispatch::DocumentPrinted(int pages) {
    faxPages_ += pages;
    const bool ok = !journaling_ || Journaled(journal_.Printed(w_.MsgID, document_, pages));
    ++document_;
    return ok;
}

bool PrintDispatch::DocumentFailed(const std::string& report) {
    const bool ok = !journaling_ || Journaled(journal_.Failed(w_.MsgID, document_, report));
    ++document_;
    return ok;
}

bool PrintDispatch::Fits(int pages) {
    if (!capped_ && faxPages_ + pages > ctx_.options.maxFaxPages) capped_ = true;
    return !capped_;
}

void PrintDispatch::NoteDelivery() {
    const std::string where = ctx_.printers.LastDelivery();
    if (where.empty()) return;
    if (++deliveryCount_ <= 3) {
        deliveries_ += (deliveries_.empty() ? "" : ", ") + where;
    }
}

// The pages a text takes at the page settings, with nothing sent anywhere.
int PrintDispatch::TextPages(const std::string& text, bool flgPageHdr) {
    std::string copy = text;
    std::int32_t pageNo = 1;
    (void)print::TextOnLocalPrinter({ctx_.printers, ctx_.profile, ctx_.loop, true}, copy,
                                    flgPageHdr, w_.gTimeSent, w_.timeReceived, w_.from, pageNo);
    return pageNo - 1;
}

// A text document; false when the walk must stop (the printer is gone).
bool PrintDispatch::PrintText(std::string text, bool flgPageHdr) {
    std::int32_t pageNo = 1;
    std::string failure;
    const bool holdBack = ctx_.run.gflgTest && !ctx_.options.textPages;
    if (!print::TextOnLocalPrinter({ctx_.printers, ctx_.profile, ctx_.loop, holdBack}, text,
                                   flgPageHdr, w_.gTimeSent, w_.timeReceived, w_.from, pageNo,
                                   &failure)) {
        fatal_ = failure;
        stop_ = WalkStop::Printer;
        return false;
    }
    // Held back (no text_pages), the pages reached no printer.
    const int pages = holdBack ? 0 : pageNo - 1;
    if (!holdBack) {
        pages_ += pages;
        NoteDelivery();
    }
    return DocumentPrinted(pages);
}

void PrintDispatch::ReportFailure(const std::string& name, const std::string& report,
                                  bool& fileFailure) {
    w_.gFileReport += "\t" + name + "\t" + report + kCRLF;
    fileFailure = true;
}

void PrintDispatch::BuildPageText() {
    std::string& p = w_.pageText;
    p = "\r\n\r\n\r\n\r\n\r\nTo:\t\t" + ctx_.cfg.gVoxaFaxAddr + kCRLF;
    p += "From:\t\t" + w_.from + kCRLF;
    p += "Sent:\t\t" + w_.gPOPSentDateTime + kCRLF;
    p += "Received:\t" + w_.timeReceived + kCRLF;
    p += "Processed:\t" + ProcessedDateText(std::time(nullptr)) + kCRLF;
    if (!w_.gFileReport.empty()) p += "VOXA-FAXes:\r\n\t\t" + w_.gFileReport + kCRLF;
    if (!w_.vCardText.empty()) p += w_.vCardText + kCRLF;
    p += "\r\nSubject:\t" + w_.gSubject;
}

// One page of the header; false when the walk must stop. A header that
// would take the fax past its page cap is left out like a file.
bool PrintDispatch::PrintPage(std::string text, bool& fileFailure) {
    std::string report;
    switch (Document("page", report)) {
        case Doc::Printed:
            return true;
        case Doc::Failed:
            ReportFailure("MESSAGE", report, fileFailure);
            return stop_ == WalkStop::None;
        case Doc::Print:
            break;
    }
    const bool holdBack = ctx_.run.gflgTest && !ctx_.options.textPages;
    if (!holdBack && !Fits(TextPages(text, false))) {
        if (cappedAt_.empty()) cappedAt_ = "the header page";
        ReportFailure("MESSAGE", kTooManyPages, fileFailure);
        return DocumentFailed(kTooManyPages);
    }
    return PrintText(std::move(text), false);
}

// The header page in the configured style; false when the walk must stop.
bool PrintDispatch::PrintHeaderPages(bool& fileFailure) {
    const bool simple = ctx_.cfg.gflgPrintSimpleHeader;
    const bool full = ctx_.cfg.gflgPrintFullHeader;
    const std::string fullHeaderBlock = "\r\n\r\n" + w_.headerText;
    const std::string body = w_.pageText + "\r\n\r\n";

    if (!simple && !full) {
        if (print::HasPrintableText(w_.FullMsgHdr))
            return PrintPage(body + w_.FullMsgHdr, fileFailure);
        if (w_.goodFaxFilesCount != 0) return true;
        w_.FullMsgHdr = "No Printable Content";
        return PrintPage(body + w_.FullMsgHdr, fileFailure);
    }
    if (!print::HasPrintableText(w_.FullMsgHdr)) w_.FullMsgHdr = "No Printable PlainText Message";
    if (!simple && full) {
        const std::string block = fullHeaderBlock + kCRLF + w_.gFileReport;
        return PrintPage("\r\n\r\n\r\n" + block + "\r\n\r\n" + w_.FullMsgHdr, fileFailure);
    }
    if (simple && full) {
        if (!PrintPage("\r\n\r\n\r\n" + fullHeaderBlock, fileFailure)) return false;
    }
    return PrintPage(body + w_.FullMsgHdr, fileFailure);
}

// One image file; false when the walk must stop.
bool PrintDispatch::PrintImage(const std::string& path, const std::string& name,
                               bool& fileFailure) {
    const std::string what = Describe("fax", w_.from, w_.gSubject);
    form_.LoadImageFile(path);  // checked before: its pages are known
    if (form_.state().gflgImageLoaded && !Fits(form_.state().imagePages)) {
        if (cappedAt_.empty()) cappedAt_ = name;
        ReportFailure(name, kTooManyPages, fileFailure);
        return DocumentFailed(kTooManyPages);
    }
    form_.PrintNow(path);
    const print::PrintState& st = form_.state();
    if (st.gflgPrintImage != 0) {
        w_.gFileReport += "\t" + name + "\tFile Processed" + kCRLF;
        const int pages = std::atoi(st.gPageCount.c_str());
        pages_ += pages;
        NoteDelivery();
        return DocumentPrinted(pages);
    }
    // The image could not be written or read back where the program keeps
    // its files: nothing is known about the fax yet.
    if (!st.storage.empty()) {
        Storage(st.storage);
        return false;
    }
    if (!st.limit.empty()) {
        // Too large or too long to print: what it is, never a printer
        // error, and printing goes on.
        ReportFailure(name, st.limit, fileFailure);
        ctx_.log.Warning(what + ": attachment " + name + " not printed: " + st.gPrintErrMsg);
        return DocumentFailed(st.limit);
    }
    const std::string report = "Not Printed, Possible Printer Error";
    ReportFailure(name, report, fileFailure);
    if (platform::ContainsNoCase(st.gPrintErrMsg, "Printer Error")) {
        fatal_ = st.gPrintErrMsg;
        stop_ = WalkStop::Printer;
        return false;
    }
    ctx_.log.Warning(what + ": attachment " + name + " not printed: " + st.gPrintErrMsg);
    return DocumentFailed(report);
}

// One text file; false when the walk must stop.
bool PrintDispatch::PrintTextFile(const std::string& path, const std::string& name,
                                  bool& fileFailure) {
    std::string content;
    std::int16_t fileNumber = 0;
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(path, ec);
    const bool tooBig = !ec && bytes > kMaxTextFileBytes;
    if (tooBig || !print::LoadFile(path, content, fileNumber)) {
        const std::string report = "Could not Open File.";
        ReportFailure(name, report, fileFailure);
        ctx_.log.Warning(Describe("fax", w_.from, w_.gSubject) + ": text attachment " + name +
                         " could not be read" + (tooBig ? " (larger than 16 MB)" : ""));
        return DocumentFailed(report);
    }
    const bool holdBack = ctx_.run.gflgTest && !ctx_.options.textPages;
    if (!holdBack && !Fits(TextPages(content, true))) {
        if (cappedAt_.empty()) cappedAt_ = name;
        ReportFailure(name, kTooManyPages, fileFailure);
        return DocumentFailed(kTooManyPages);
    }
    if (!PrintText(std::move(content), true)) return false;
    w_.gFileReport += "\t" + name + "\tSent to Printer" + kCRLF;
    return true;
}

// Each good file in turn; false when the walk must stop. A file that an
// earlier run of this fax printed or judged is reported as it was then.
bool PrintDispatch::PrintFiles(bool& fileFailure) {
    for (const GoodFaxFile& g : w_.goodFaxFiles) {
        const bool image = g.kind == kKindImage;
        std::string report;
        switch (Document(image ? "fax" : "text", report)) {
            case Doc::Printed:
                w_.gFileReport +=
                    "\t" + g.name + (image ? "\tFile Processed" : "\tSent to Printer") + kCRLF;
                continue;
            case Doc::Failed:
                ReportFailure(g.name, report, fileFailure);
                if (stop_ != WalkStop::None) return false;
                continue;
            case Doc::Print:
                break;
        }
        // Past the page cap nothing more goes to the printer.
        if (capped_) {
            ReportFailure(g.name, kTooManyPages, fileFailure);
            if (!DocumentFailed(kTooManyPages)) return false;
            continue;
        }
        const std::string path = ctx_.run.gTempDir + NumberedName(g.position, g.ext);
        if (!(image ? PrintImage(path, g.name, fileFailure)
                    : PrintTextFile(path, g.name, fileFailure)))
            return false;
    }
    return true;
}

void PrintDispatch::Mark(const platform::StoredMessage& msg, platform::MessageMark m) {
    if (platform::Status st = s_.store->Mark(msg.id, m); !st)
        ctx_.log.Warning(
            Describe("fax", w_.from, w_.gSubject) + ": cannot record in the store that it was " +
            (m == platform::MessageMark::Printed ? "printed" : "answered") + ": " + st.detail);
}

// The run log's lines for a fax that went through the printer.
void PrintDispatch::LogOutcome(const std::string& what, bool processed) {
    const bool printedNow = pages_ > 0 || !deliveries_.empty();
    std::string where = ctx_.printers.Current();
    if (!deliveries_.empty())
        where += " (" + deliveries_ +
                 (deliveryCount_ > 3 ? ", +" + std::to_string(deliveryCount_ - 3) + " more" : "") +
                 ")";
    if (decided_ != Verdict::None || (resumed_ && !printedNow && document_ > 0)) {
        ctx_.log.Info(what + (processed ? " was printed" : " was found unprintable") +
                      " by a run that ended before filing it; filed now without printing it "
                      "again");
    } else if (processed && printedNow) {
        ctx_.log.Info("printed " + what + ", " + Pages(pages_) + " -> " + where);
    } else if (!processed) {
        ctx_.log.Warning(what + " is unprintable" +
                         (printedNow ? "; " + Pages(pages_) + " of it printed -> " + where : ""));
    }
    if (capped_)
        ctx_.log.Warning(what + ": more than " + std::to_string(ctx_.options.maxFaxPages) +
                         " pages in all ([print] max_fax_pages in options.ini); " + cappedAt_ +
                         " and what follows it not printed");
    for (const std::string& why : w_.badFaxWhy) ctx_.log.Warning(what + ": " + why);
    if (!w_.partsNote.empty())
        ctx_.log.Warning(what + ": not all of it could be stored: " + w_.partsNote);
}

// The receipt a fax is due, with its verdict's disposition; the walk stops
// when it cannot be recorded.
WalkStop PrintDispatch::Answer(const platform::StoredMessage& msg, bool processed) {
    // A fax printed in full is answered only when its sender asked for a
    // receipt; one that could not be printed always is, so that the sender
    // learns of it.
    if (!ctx_.cfg.gflgConfirmReceipt || (w_.MDNAddr.empty() && processed)) return WalkStop::None;
    mailer_.state().gSMTPRecipAddr = w_.MDNAddr.empty() ? w_.gSenderAddr : w_.MDNAddr;
    if (processed) {
        w_.gDispositionType = "Processed";
    } else {
        w_.gDispositionType = "Failed";
        w_.gFailureText = "Unprintable File(s)";
        w_.gProcessReport = std::string("Process report - ") + kCRLF + w_.gFileReport;
    }
    if (journaling_ && msg.Marked(platform::MessageMark::Answered)) {
        ctx_.log.Info(Describe("fax", w_.from, w_.gSubject) +
                      " was answered by an earlier run; no second receipt");
        return WalkStop::None;
    }
    if (!SendReceipt(msg))
        return Storage("the receipt could not be recorded in " + ctx_.run.gAppPath +
                       "/receipts.ledger");
    return WalkStop::None;
}

WalkStop PrintDispatch::PrintVoxaFax(const platform::StoredMessage& msg) {
    const std::string what = Describe("fax", w_.from, w_.gSubject);
    if (BeginFax(msg) != WalkStop::None) return stop_;
    DocumentKeyReset keyReset{ctx_.printers};

    BuildPageText();
    bool fileFailure = false;
    if (!PrintHeaderPages(fileFailure) || !PrintFiles(fileFailure)) return stop_;
    const bool processed = decided_ != Verdict::None
                               ? decided_ == Verdict::Printed
                               : !fileFailure && w_.badFaxFilesCount == 0 && w_.partsNote.empty();
    // The verdict is on disk before anything follows from it: a run that
    // ends before the fax is filed leaves the next one the same verdict.
    if (journaling_ && decided_ == Verdict::None &&
        !Journaled(journal_.Decide(w_.MsgID, processed ? Verdict::Printed : Verdict::Unprintable)))
        return stop_;
    const bool receiptDue = ctx_.cfg.gflgConfirmReceipt && !(w_.MDNAddr.empty() && processed);
    // Mail programs show the mark; a printed fax gets it before its receipt
    // goes out. It also tells a later run that the fax printed, so while the
    // walk holds its documents it waits for the move, after the commit.
    const bool mark = journaling_ && processed && receiptDue &&
                      !msg.Marked(platform::MessageMark::Printed) &&
                      !msg.Marked(platform::MessageMark::Answered);
    if (mark && !journal_.Holding()) Mark(msg, platform::MessageMark::Printed);
    LogOutcome(what, processed);

    if (fileFailure) w_.gDispositionType = "Failed";
    if (Answer(msg, processed) != WalkStop::None) return stop_;
    if (processed) {
        ++ctx_.run.gVFPrinted;
        // Printed means read, for anyone who opens the store.
        (void)s_.store->SetUnread(msg.id, false);
        RecordMove(s_, s_.vfPrintedID, w_.MsgID, what, mark && journal_.Holding());
    } else {
        ++ctx_.run.gVFUnprintable;
        RecordMove(s_, s_.vfUnprintableID, w_.MsgID, what);
    }
    w_.gFaxToAddr.clear();  // used up by the receipt; the next message reads its own
    return WalkStop::None;
}

bool PrintDispatch::PrintAgain(const platform::StoredMessage& msg, bool regular) {
    const std::string what = Describe(regular ? "regular fax" : "fax", w_.from, w_.gSubject);
    ResetFax();
    bool fileFailure = false;
    if (regular) {
        const std::string image = ctx_.run.gTempDir + "temp.tif";
        std::error_code ec;
        fs::remove(image, ec);
        if (!msg.attachments.empty()) (void)s_.store->WriteAttachment(msg.id, 0, image);
        form_.PrintNow(image);
        if (form_.state().gflgPrintImage == 0) {
            fatal_ = form_.state().gPrintErrMsg;
            return false;
        }
        pages_ = std::atoi(form_.state().gPageCount.c_str());
        NoteDelivery();
    } else {
        BuildPageText();
        if (!PrintHeaderPages(fileFailure) || !PrintFiles(fileFailure)) return false;
    }
    ctx_.log.Info("reprinted " + what + ", " + Pages(pages_) + " -> " + ctx_.printers.Current() +
                  (deliveries_.empty() ? "" : " (" + deliveries_ + ")"));
    return true;
}

// A fax from another gateway arrives as one image in attachment 1.
WalkStop PrintDispatch::PrintRegularFax(const platform::StoredMessage& msg) {
    if (s_.regPrintedID.empty() || s_.regUnprintableID.empty()) EnsureRegularFolders(s_);
    const std::string what = Describe("regular fax", w_.from, w_.gSubject);
    if (BeginFax(msg) != WalkStop::None) return stop_;
    DocumentKeyReset keyReset{ctx_.printers};
    std::string report;
    const Doc before = Document("regular", report);
    if (stop_ != WalkStop::None) return stop_;
    if (before != Doc::Print) {
        const bool printed = before == Doc::Printed;
        if (journaling_ && record_ && record_->verdict == Verdict::None &&
            !Journaled(
                journal_.Decide(w_.MsgID, printed ? Verdict::Printed : Verdict::Unprintable)))
            return stop_;
        ctx_.log.Info(what + (printed ? " was printed" : " was found unprintable") +
                      " by a run that ended before filing it; filed now without printing it "
                      "again");
        RecordMove(s_, printed ? s_.regPrintedID : s_.regUnprintableID, w_.MsgID, what);
        ++(printed ? ctx_.run.gRegPrinted : ctx_.run.gRegUnprintable);
        return WalkStop::None;
    }
    const std::string gsourceFile = ctx_.run.gTempDir + "temp.tif";
    // Written over the image of the regular fax before, in place; never
    // printed for this one when it has none to write.
    const platform::Status written =
        msg.attachments.empty() ? platform::Status::Error(platform::Fail::NotFound, "no attachment")
                                : s_.store->WriteAttachment(msg.id, 0, gsourceFile);
    if (!written) {
        if (written.error != 0) return Storage(written.detail);
        std::error_code ec;
        fs::remove(gsourceFile, ec);
    }
    form_.LoadImageFile(gsourceFile);
    bool printed = false;
    if (form_.state().gflgImageLoaded && !Fits(form_.state().imagePages)) {
        report = kTooManyPages;
        form_.state().gPrintErrMsg = "more than " + std::to_string(ctx_.options.maxFaxPages) +
                                     " pages ([print] max_fax_pages in options.ini)";
    } else {
        form_.PrintNow(gsourceFile);
        const print::PrintState& st = form_.state();
        if (!st.storage.empty()) return Storage(st.storage);
        // The printer is gone: the fax stays in the inbox, as a VOXA-FAX does.
        if (st.gflgPrintImage == 0 && platform::ContainsNoCase(st.gPrintErrMsg, "Printer Error")) {
            fatal_ = st.gPrintErrMsg;
            return stop_ = WalkStop::Printer;
        }
        printed = st.gflgPrintImage != 0;
        report = st.limit.empty() ? "Not Printed" : st.limit;
    }
    const int pages = printed ? std::atoi(form_.state().gPageCount.c_str()) : 0;
    if (!(printed ? DocumentPrinted(pages) : DocumentFailed(report))) return stop_;
    if (journaling_ &&
        !Journaled(journal_.Decide(w_.MsgID, printed ? Verdict::Printed : Verdict::Unprintable)))
        return stop_;
    if (printed) {
        const std::string where = ctx_.printers.LastDelivery();
        ctx_.log.Info("printed " + what + ", " + Pages(pages) + " -> " + ctx_.printers.Current() +
                      (where.empty() ? "" : " (" + where + ")"));
        RecordMove(s_, s_.regPrintedID, w_.MsgID, what);
        ++ctx_.run.gRegPrinted;
        return WalkStop::None;
    }
    ++ctx_.run.gRegUnprintable;
    ctx_.log.Warning(what + ": not printed: " + form_.state().gPrintErrMsg);
    RecordMove(s_, s_.regUnprintableID, w_.MsgID, what);
    if (ctx_.cfg.gflgPrintErrorInfo) PrintRegularErrorPage();
    return WalkStop::None;
}

// The page that tells a person a regular fax could not be printed.
void PrintDispatch::PrintRegularErrorPage() {
    std::string page = "VOXA-FAX Print Error Report\r\n\r\n\r\n\r\n";
    page += "\r\n\r\n\r\nFrom:\t\t" + w_.from + kCRLF;
    page += "Sent:\t\t" + w_.gTimeSent + kCRLF;
    page += "Received:\t" + w_.timeReceived + kCRLF;
    page += "Subject:\t" + w_.gSubject;
    page +=
        "\r\n\r\nVOXA-FAX Print was unable to print this Regular Fax!\r\n"
        "It will be moved to the folder 'Regular Faxes | Unprintable'.\r\n"
        "Please try printing manually.";
    // Its page is no document of the fax: a run that ends before filing
    // it does not print it again, and its failure changes nothing.
    std::int32_t pageNo = 1;
    const bool holdBack = ctx_.run.gflgTest && !ctx_.options.textPages;
    (void)print::TextOnLocalPrinter({ctx_.printers, ctx_.profile, ctx_.loop, holdBack}, page, false,
                                    w_.gTimeSent, w_.timeReceived, w_.from, pageNo);
}

bool PrintDispatch::SendReceipt(const platform::StoredMessage& msg) {
    mailout::ReceiptInputs in;
    in.gSubject = w_.gSubject;
    in.gOriginalMsgID = w_.gOriginalMsgID;
    in.gSenderAddr = w_.gSenderAddr;
    in.gPOPSentDateTime = w_.gPOPSentDateTime;
    in.gFaxToAddr = w_.gFaxToAddr;
    in.gMDNOptions = w_.gMDNOptions;
    in.gfglFullMode = w_.gfglFullMode;
    in.gFileReport = w_.gFileReport;
    in.FullMsgHdr = w_.FullMsgHdr;
    in.gDispositionType = w_.gDispositionType;
    in.gFailureText = w_.gFailureText;
    in.gProcessReport = w_.gProcessReport;
    in.gPageCount = form_.state().gPageCount;
    const bool recorded = mailer_.SendReceipt(in);
    // The receipt is sent or waits in Out/: either way it is not composed
    // again for this message.
    if (recorded && !ctx_.run.gflgPrintTest) Mark(msg, platform::MessageMark::Answered);
    return recorded;
}

}  // namespace walk
