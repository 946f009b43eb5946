// Printing of a classified message: header pages, attachments, the verdict,
// the totals, the receipt and the folder it is filed in.
#include "main/PrintDispatch.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "main/Session.h"
#include "main/WalkState.h"
#include "platform/MailStore.h"
#include "platform/Text.h"
#include "print/PrintForm.h"
#include "print/TextPrinter.h"

namespace vfmain {

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

PrintDispatch::PrintDispatch(config::Context& ctx, SessionState& session,
                             print::FrmVFPrint& printForm, mailout::Mailer& mailer, WalkState& w)
    : ctx_(ctx), s_(session), form_(printForm), mailer_(mailer), w_(w) {}

bool PrintDispatch::PrintText(std::string text, bool flgPageHdr) {
    std::int32_t pageNo = 1;
    return print::TextOnLocalPrinter(ctx_, text, flgPageHdr, w_.gTimeSent, w_.timeReceived, w_.from,
                                     pageNo);
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

    if (!simple && !full) {
        if (print::HasPrintableText(w_.FullMsgHdr)) return PrintText(body + w_.FullMsgHdr, false);
        if (w_.goodFaxFilesCount != 0) return true;
        w_.FullMsgHdr = "No Printable Content";
        return PrintText(body + w_.FullMsgHdr, false);
    }
    if (!print::HasPrintableText(w_.FullMsgHdr)) w_.FullMsgHdr = "No Printable PlainText Message";
    if (!simple && full) {
        const std::string block = fullHeaderBlock + kCRLF + w_.gFileReport;
        return PrintText("\r\n\r\n\r\n" + block + "\r\n\r\n" + w_.FullMsgHdr, false);
    }
    if (simple && full) {
        if (!PrintText("\r\n\r\n\r\n" + fullHeaderBlock, false)) return false;
    }
    return PrintText(body + w_.FullMsgHdr, false);
}

bool PrintDispatch::PrintVoxaFax(platform::MailMessage& msg) {
    BuildPageText();
    if (!PrintHeaderPages()) return false;

    bool fileFailure = false;
    for (const GoodFaxFile& g : w_.goodFaxFiles) {
        const std::string gsourceFile = ctx_.run.gTempDir + NumberedName(g.position, g.ext);
        if (g.kind == kKindImage) {
            form_.PrintNow(gsourceFile);
            if (form_.state().gflgPrintImage != 0) {
                w_.gFileReport += "\t" + g.name + "\tFile Processed" + kCRLF;
            } else {
                w_.gFileReport += "\t" + g.name + "\tNot Printed, Possible Printer Error" + kCRLF;
                fileFailure = true;
                if (platform::ContainsNoCase(form_.state().gPrintErrMsg, "Printer Error"))
                    return false;
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
            } else {
                if (!PrintText(std::move(content), true)) return false;
                w_.gFileReport += "\t" + g.name + "\tSent to Printer" + kCRLF;
            }
        }
    }

    bool processed = false;
    if (fileFailure) w_.gDispositionType = "Failed";
    if (!fileFailure && w_.badFaxFilesCount == 0) {
        ++ctx_.run.gVFPrinted;
        processed = true;
        (void)msg.SetUnread(false);  // printed means read, for anyone who opens the store
        RecordMove(s_, s_.vfPrintedID, w_.MsgID);
    } else {
        ++ctx_.run.gVFUnprintable;
        RecordMove(s_, s_.vfUnprintableID, w_.MsgID);
    }

    // A fax printed in full is answered only when its sender asked for a
    // receipt; one that could not be printed always is, so that the sender
    // learns of it.
    if (ctx_.cfg.gflgConfirmReceipt && !(w_.MDNAddr.empty() && processed)) {
        mailer_.state().gSMTPRecipAddr = w_.MDNAddr.empty() ? w_.gSenderAddr : w_.MDNAddr;
        if (processed) {
            w_.gDispositionType = "Processed";
        } else {
            w_.gDispositionType = "Failed";
            w_.gFailureText = "Unprintable File(s)";
            w_.gProcessReport = std::string("Process report - ") + kCRLF + w_.gFileReport;
        }
        SendReceipt();
    }
    w_.gFaxToAddr.clear();  // used up by the receipt; the next message reads its own
    return true;
}

// A fax from another gateway arrives as one image in attachment 1.
void PrintDispatch::PrintRegularFax(platform::MailMessage& msg) {
    if (s_.regPrintedID.empty() || s_.regUnprintableID.empty()) EnsureRegularFolders(ctx_, s_);
    const std::string gsourceFile = ctx_.run.gTempDir + "temp.tif";
    // Never print the image of an earlier regular fax when this one has
    // none to write.
    std::error_code ec;
    fs::remove(gsourceFile, ec);
    if (auto att = msg.Attachment(1); att && *att) (void)(*att)->WriteToFile(gsourceFile);
    form_.PrintNow(gsourceFile);
    if (form_.state().gflgPrintImage != 0) {
        RecordMove(s_, s_.regPrintedID, w_.MsgID);
        ++ctx_.run.gRegPrinted;
        return;
    }
    ++ctx_.run.gRegUnprintable;
    RecordMove(s_, s_.regUnprintableID, w_.MsgID);
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

void PrintDispatch::SendReceipt() {
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
}

}  // namespace vfmain
