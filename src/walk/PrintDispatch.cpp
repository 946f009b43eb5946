// Printing of a classified message: header pages, attachments, the verdict,
// the totals, the receipt and the folder it is filed in.
#include "walk/PrintDispatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Printers.h"
#include "platform/Text.h"
#include "print/PrintForm.h"
#include "print/TextPrinter.h"
#include "walk/PrintProgress.h"
#include "walk/Session.h"
#include "walk/WalkState.h"

namespace walk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCRLF = "\r\n";
// A text attachment is printed from one string. Beyond this size (some 2,000
// full pages) it is judged unreadable rather than pulled into memory.
constexpr std::uintmax_t kMaxTextFileBytes = 16u * 1024 * 1024;

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
                             PrintProgress& progress)
    : ctx_(ctx), s_(session), form_(printForm), mailer_(mailer), w_(w), progress_(progress) {}

namespace {

// A short name for a message that stays the same across runs: its ID's
// digest (FNV-1a), 12 hex digits.
std::string MessageKey(const std::string& id) {
    if (id.empty()) return {};
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : id) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%012llx",
                  static_cast<unsigned long long>(h & 0xffffffffffffULL));
    return buf;
}

}  // namespace

// Names document n of the fax at the printer ("<message>-<n>-<kind>"), and
// says whether it has gone out already: counted by the progress file, or,
// for the one document after those, found at the printer by its name (a run
// killed just after handing it over had no time to count it).
bool PrintDispatch::SkipDocument(const char* kind) {
    const std::string key =
        msgKey_.empty() ? std::string() : msgKey_ + "-" + std::to_string(document_) + "-" + kind;
    ctx_.printers.SetDocumentKey(key);
    if (document_ < doneBefore_) {
        ++document_;
        return true;
    }
    if (resumed_ && document_ == doneBefore_ && ctx_.printers.Delivered("", key)) {
        ++document_;
        progress_.Printed(w_.MsgID, document_);
        return true;
    }
    return false;
}

void PrintDispatch::DocumentDone() {
    ++document_;
    // A print test files nothing, so the next run prints everything again.
    if (!ctx_.run.gflgPrintTest) progress_.Printed(w_.MsgID, document_);
}

void PrintDispatch::NoteDelivery() {
    const std::string where = ctx_.printers.LastDelivery();
    if (where.empty()) return;
    if (++deliveryCount_ <= 3) {
        deliveries_ += (deliveries_.empty() ? "" : ", ") + where;
    }
}

bool PrintDispatch::PrintText(std::string text, bool flgPageHdr) {
    std::int32_t pageNo = 1;
    std::string failure;
    const bool holdBack = ctx_.run.gflgTest && !ctx_.options.textPages;
    if (!print::TextOnLocalPrinter({ctx_.printers, ctx_.profile, ctx_.loop, holdBack}, text,
                                   flgPageHdr, w_.gTimeSent, w_.timeReceived, w_.from, pageNo,
                                   &failure)) {
        fatal_ = failure;
        return false;
    }
    // Held back (no text_pages), the page reached no printer.
    if (!holdBack) {
        pages_ += pageNo - 1;
        NoteDelivery();
    }
    return true;
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

// The header page in the configured style; false on a fatal printer error.
bool PrintDispatch::PrintHeaderPages() {
    const bool simple = ctx_.cfg.gflgPrintSimpleHeader;
    const bool full = ctx_.cfg.gflgPrintFullHeader;
    const std::string fullHeaderBlock = "\r\n\r\n" + w_.headerText;
    const std::string body = w_.pageText + "\r\n\r\n";
    auto page = [this](std::string text) {
        if (SkipDocument("page")) return true;
        if (!PrintText(std::move(text), false)) return false;
        DocumentDone();
        return true;
    };

    if (!simple && !full) {
        if (print::HasPrintableText(w_.FullMsgHdr)) return page(body + w_.FullMsgHdr);
        if (w_.goodFaxFilesCount != 0) return true;
        w_.FullMsgHdr = "No Printable Content";
        return page(body + w_.FullMsgHdr);
    }
    if (!print::HasPrintableText(w_.FullMsgHdr)) w_.FullMsgHdr = "No Printable PlainText Message";
    if (!simple && full) {
        const std::string block = fullHeaderBlock + kCRLF + w_.gFileReport;
        return page("\r\n\r\n\r\n" + block + "\r\n\r\n" + w_.FullMsgHdr);
    }
    if (simple && full) {
        if (!page("\r\n\r\n\r\n" + fullHeaderBlock)) return false;
    }
    return page(body + w_.FullMsgHdr);
}

// Each good file in turn; false on a fatal printer error. A file printed by
// an earlier run of this fax is reported as printed and not printed again.
bool PrintDispatch::PrintFiles(bool& fileFailure) {
    const std::string what = Describe("fax", w_.from, w_.gSubject);
    for (const GoodFaxFile& g : w_.goodFaxFiles) {
        const std::string gsourceFile = ctx_.run.gTempDir + NumberedName(g.position, g.ext);
        if (SkipDocument(g.kind == kKindImage ? "fax" : "text")) {
            w_.gFileReport += "\t" + g.name +
                              (g.kind == kKindImage ? "\tFile Processed" : "\tSent to Printer") +
                              kCRLF;
            continue;
        }
        if (g.kind == kKindImage) {
            form_.PrintNow(gsourceFile);
            const print::PrintState& st = form_.state();
            if (st.gflgPrintImage != 0) {
                w_.gFileReport += "\t" + g.name + "\tFile Processed" + kCRLF;
                pages_ += std::atoi(st.gPageCount.c_str());
                NoteDelivery();
            } else if (!st.limit.empty()) {
                // Too large or too long to print: what it is, never a printer
                // error, and printing goes on.
                w_.gFileReport += "\t" + g.name + "\t" + st.limit + kCRLF;
                fileFailure = true;
                ctx_.log.Warning(what + ": attachment " + g.name +
                                 " not printed: " + st.gPrintErrMsg);
            } else {
                w_.gFileReport += "\t" + g.name + "\tNot Printed, Possible Printer Error" + kCRLF;
                fileFailure = true;
                if (platform::ContainsNoCase(st.gPrintErrMsg, "Printer Error")) {
                    fatal_ = st.gPrintErrMsg;
                    return false;
                }
                ctx_.log.Warning(what + ": attachment " + g.name +
                                 " not printed: " + st.gPrintErrMsg);
            }
        } else {
            std::string content;
            std::int16_t fileNumber = 0;
            std::error_code ec;
            const std::uintmax_t bytes = fs::file_size(gsourceFile, ec);
            if ((!ec && bytes > kMaxTextFileBytes) ||
                !print::LoadFile(gsourceFile, content, fileNumber)) {
                w_.gFileReport += "\t" + g.name + "\tCould not Open File." + kCRLF;
                fileFailure = true;
                ctx_.log.Warning(what + ": text attachment " + g.name + " could not be read" +
                                 (!ec && bytes > kMaxTextFileBytes ? " (larger than 16 MB)" : ""));
            } else {
                if (!PrintText(std::move(content), true)) return false;
                w_.gFileReport += "\t" + g.name + "\tSent to Printer" + kCRLF;
            }
        }
        DocumentDone();
    }
    return true;
}

void PrintDispatch::Mark(const platform::StoredMessage& msg, platform::MessageMark m) {
    if (platform::Status st = s_.store->Mark(msg.id, m); !st)
        ctx_.log.Warning(Describe("fax", w_.from, w_.gSubject) +
                         ": cannot record in the store that it was " +
                         (m == platform::MessageMark::Printed ? "printed" : "answered") + ": " +
                         st.detail + "; a run killed before it is filed would do it again");
}

// Where printing the fax in hand starts: from its first document, after the
// documents an earlier run printed, or (marked printed) nowhere.
void PrintDispatch::BeginFax(bool printedBefore) {
    const bool printTest = ctx_.run.gflgPrintTest;
    resumed_ = !printTest && !printedBefore && progress_.Begun(w_.MsgID);
    document_ = 0;
    doneBefore_ = printedBefore ? std::numeric_limits<int>::max() : progress_.Done(w_.MsgID);
    if (printTest) doneBefore_ = 0;
    // Noted before the first document goes out, so that a run killed in the
    // middle of this fax is known to the next one as begun.
    if (!printTest && !printedBefore && !resumed_) progress_.Printed(w_.MsgID, 0);
    msgKey_ = MessageKey(w_.MsgID);
    pages_ = 0;
    deliveryCount_ = 0;
    deliveries_.clear();
    fatal_.clear();
}

// The run log's lines for a fax that went through the printer.
void PrintDispatch::LogPrinted(const std::string& what, bool printedBefore) {
    if (printedBefore || (resumed_ && pages_ == 0 && deliveries_.empty() && document_ > 0 &&
                          document_ == doneBefore_)) {
        ctx_.log.Info(what +
                      " was printed by a run that ended before filing it; filed now "
                      "without printing it again");
    } else if (pages_ > 0 || !deliveries_.empty()) {
        std::string line = "printed " + what + ", " + std::to_string(pages_) +
                           (pages_ == 1 ? " page -> " : " pages -> ") + ctx_.printers.Current();
        if (!deliveries_.empty())
            line +=
                " (" + deliveries_ +
                (deliveryCount_ > 3 ? ", +" + std::to_string(deliveryCount_ - 3) + " more" : "") +
                ")";
        ctx_.log.Info(line);
    }
    for (std::size_t i = 0; i < w_.badFaxWhy.size(); ++i)
        ctx_.log.Warning(what + ": " + w_.badFaxWhy[i]);
    if (!w_.partsNote.empty())
        ctx_.log.Warning(what + ": not all of it could be stored: " + w_.partsNote);
}

bool PrintDispatch::PrintVoxaFax(const platform::StoredMessage& msg) {
    const bool printTest = ctx_.run.gflgPrintTest;
    const std::string what = Describe("fax", w_.from, w_.gSubject);
    // A print test prints again what it printed, and records nothing.
    const bool printedBefore = !printTest && msg.Marked(platform::MessageMark::Printed);
    BeginFax(printedBefore);
    struct KeyReset {
        platform::Printers& p;
        ~KeyReset() { p.SetDocumentKey(""); }
    } keyReset{ctx_.printers};

    BuildPageText();
    bool fileFailure = false;
    if (!PrintHeaderPages() || !PrintFiles(fileFailure)) return false;
    const bool processed = !fileFailure && w_.badFaxFilesCount == 0 && w_.partsNote.empty();
    // A fax printed in full is answered only when its sender asked for a
    // receipt; one that could not be printed always is, so that the sender
    // learns of it.
    const bool receiptDue = ctx_.cfg.gflgConfirmReceipt && !(w_.MDNAddr.empty() && processed);
    const bool answeredBefore = !printTest && msg.Marked(platform::MessageMark::Answered);
    // When something happens between printing and filing (a receipt), the
    // store records first that the fax was printed, so that a run killed in
    // between files it without printing it again. When filing comes next,
    // the progress file covers that moment, and the move records the rest.
    if (!printTest && !printedBefore && ((receiptDue && !answeredBefore) || !progress_.Working()))
        Mark(msg, platform::MessageMark::Printed);
    LogPrinted(what, printedBefore);

    if (fileFailure) w_.gDispositionType = "Failed";
    if (processed) {
        ++ctx_.run.gVFPrinted;
        // Printed means read, for anyone who opens the store.
        (void)s_.store->SetUnread(msg.id, false);
        RecordMove(s_, s_.vfPrintedID, w_.MsgID, what);
    } else {
        ++ctx_.run.gVFUnprintable;
        RecordMove(s_, s_.vfUnprintableID, w_.MsgID, what);
    }

    if (receiptDue) {
        mailer_.state().gSMTPRecipAddr = w_.MDNAddr.empty() ? w_.gSenderAddr : w_.MDNAddr;
        if (processed) {
            w_.gDispositionType = "Processed";
        } else {
            w_.gDispositionType = "Failed";
            w_.gFailureText = "Unprintable File(s)";
            w_.gProcessReport = std::string("Process report - ") + kCRLF + w_.gFileReport;
        }
        if (answeredBefore)
            ctx_.log.Info(what + " was answered by an earlier run; no second receipt");
        else
            SendReceipt(msg);
    }
    w_.gFaxToAddr.clear();  // used up by the receipt; the next message reads its own
    return true;
}

bool PrintDispatch::PrintAgain(const platform::StoredMessage& msg, bool regular) {
    const std::string what = Describe(regular ? "regular fax" : "fax", w_.from, w_.gSubject);
    document_ = doneBefore_ = 0;
    resumed_ = false;
    msgKey_.clear();
    pages_ = deliveryCount_ = 0;
    deliveries_.clear();
    fatal_.clear();
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
        if (!PrintHeaderPages() || !PrintFiles(fileFailure)) return false;
    }
    ctx_.log.Info("reprinted " + what + ", " + std::to_string(pages_) +
                  (pages_ == 1 ? " page -> " : " pages -> ") + ctx_.printers.Current() +
                  (deliveries_.empty() ? "" : " (" + deliveries_ + ")"));
    return true;
}

// A fax from another gateway arrives as one image in attachment 1.
void PrintDispatch::PrintRegularFax(const platform::StoredMessage& msg) {
    if (s_.regPrintedID.empty() || s_.regUnprintableID.empty()) EnsureRegularFolders(s_);
    const bool printTest = ctx_.run.gflgPrintTest;
    const std::string what = Describe("regular fax", w_.from, w_.gSubject);
    // Printed already: marked so by a run that ended before filing it, or
    // (one document) counted by the progress file, or held by the printer
    // under its key after a run killed right after handing it over.
    const std::string key = MessageKey(w_.MsgID).empty() ? "" : MessageKey(w_.MsgID) + "-0-regular";
    const bool marked = !printTest && msg.Marked(platform::MessageMark::Printed);
    const bool resumed = !printTest && !marked && progress_.Begun(w_.MsgID);
    if (marked || (resumed && (progress_.Done(w_.MsgID) > 0 || ctx_.printers.Delivered("", key)))) {
        if (!marked) Mark(msg, platform::MessageMark::Printed);
        ctx_.log.Info(what +
                      " was printed by a run that ended before filing it; filed now "
                      "without printing it again");
        RecordMove(s_, s_.regPrintedID, w_.MsgID, what);
        ++ctx_.run.gRegPrinted;
        return;
    }
    if (!printTest) progress_.Printed(w_.MsgID, 0);
    const std::string gsourceFile = ctx_.run.gTempDir + "temp.tif";
    // Never print the image of an earlier regular fax when this one has
    // none to write.
    std::error_code ec;
    fs::remove(gsourceFile, ec);
    if (!msg.attachments.empty()) (void)s_.store->WriteAttachment(msg.id, 0, gsourceFile);
    ctx_.printers.SetDocumentKey(key);
    form_.PrintNow(gsourceFile);
    ctx_.printers.SetDocumentKey("");
    if (form_.state().gflgPrintImage != 0) {
        if (!printTest) {
            progress_.Printed(w_.MsgID, 1);
            Mark(msg, platform::MessageMark::Printed);
        }
        const std::string where = ctx_.printers.LastDelivery();
        ctx_.log.Info("printed " + what + ", " + form_.state().gPageCount + " pages -> " +
                      ctx_.printers.Current() + (where.empty() ? "" : " (" + where + ")"));
        RecordMove(s_, s_.regPrintedID, w_.MsgID, what);
        ++ctx_.run.gRegPrinted;
        return;
    }
    ++ctx_.run.gRegUnprintable;
    ctx_.log.Warning(what + ": not printed: " + form_.state().gPrintErrMsg);
    RecordMove(s_, s_.regUnprintableID, w_.MsgID, what);
    if (ctx_.cfg.gflgPrintErrorInfo) {
        std::string page = "VOXA-FAX Print Error Report\r\n\r\n\r\n\r\n";
        page += "\r\n\r\n\r\nFrom:\t\t" + w_.from + kCRLF;
        page += "Sent:\t\t" + w_.gTimeSent + kCRLF;
        page += "Received:\t" + w_.timeReceived + kCRLF;
        page += "Subject:\t" + w_.gSubject;
        page +=
            "\r\n\r\nVOXA-FAX Print was unable to print this Regular Fax!\r\n"
            "It will be moved to the folder 'Regular Faxes | Unprintable'.\r\n"
            "Please try printing manually.";
        (void)PrintText(std::move(page), false);
    }
}

void PrintDispatch::SendReceipt(const platform::StoredMessage& msg) {
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
    mailer_.SendReceipt(in);
    // The receipt is sent or waits in Out/: either way it is not composed
    // again for this message.
    if (!ctx_.run.gflgPrintTest) Mark(msg, platform::MessageMark::Answered);
}

}  // namespace walk
