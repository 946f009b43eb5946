#include "mailout/Compose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "mailout/SafeText.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace mailout {
namespace {

const char* const CRLF = "\r\n";

std::string Format(const std::tm& tm, const char* fmt) {
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
    return std::string(buf, n);
}

// Writes a complete hidden file in `folder`, fsynced and closed; its path or "".
std::string WriteTempFile(const std::string& folder, const std::string& text) {
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    std::string tmpl = dir + kStagedPrefix + "XXXXXX";
    platform::UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd) return "";
    bool ok = platform::WriteAll(fd.get(), text, tmpl).ok() && ::fsync(fd.get()) == 0;
    ok = fd.Close(tmpl).ok() && ok;
    if (!ok) {
        ::unlink(tmpl.c_str());
        return "";
    }
    return tmpl;
}

}  // namespace

LocalStamp StampAt(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    LocalStamp s;
    s.date = Format(tm, "%m/%d/%Y");
    s.time = Format(tm, "%I:%M:%S ") + (tm.tm_hour < 12 ? "AM" : "PM");
    s.stamp = Format(tm, "%Y%m%d%H%M%S");
    return s;
}

std::string ComposeMDNText(const ReceiptInputs& in, const std::string& recipient,
                           const config::NodeConfig& cfg, const config::RunGlobals& run,
                           const LocalStamp& now) {
    const std::string& vf = cfg.gVoxaFaxAddr;
    const std::string& B = run.gMDNBoundary;
    const std::string& disp = in.gDispositionType;
    const bool failed = disp == "Failed";
    const bool caps = disp == "CapsRequest";
    const std::string frame40 = "G3Fax-t30frame:G3Fax-frame=40,373635342033323332203330;";
    // What the message said goes into header lines as one line each, and
    // into the body with CR LF line ends and bounded in size: a receipt
    // answers a stranger, and must neither carry commands of theirs nor
    // repeat megabytes of their text to whomever they name.
    const std::string subject = HeaderText(in.gSubject);
    const std::string sentOn = HeaderText(in.gPOPSentDateTime);
    const std::string originalId = HeaderText(in.gOriginalMsgID);
    const std::string fileReport = QuotedText(in.gFileReport);

    std::string t;
    t += "To:" + HeaderText(recipient) + CRLF;
    t += "From:" + vf + CRLF;
    t += "Date:" + now.date + " " + now.time + CRLF;
    t += "X-VF-PageCount:" + in.gPageCount + CRLF;
    t += "X-VF-Original-Id: " + in.gOriginalId + CRLF;
    t += "Message-Id: MDN." + now.stamp + "." + vf + CRLF;
    if (!caps)
        t += "Subject: RE: " + subject + " : VOXA-FAX confirmation." + CRLF;
    else
        t += "Subject: RE: " + subject + CRLF;
    t += std::string("MIME-Version: 1.0") + CRLF;
    if (in.gFaxToAddr.empty())
        t += std::string("Content-Type: multipart/report; report-type=disposition-notification;") +
             CRLF;
    else
        t += std::string("Content-Type: message/fax") + CRLF;
    t += "     boundary = \"" + B + "\"" + CRLF + CRLF;
    t += "--" + B + CRLF + CRLF;

    t += "The VOXA-FAX sent on " + sentOn + " to " + vf + " with the subject \"" + subject + "\"";
    if (failed) {
        t += std::string(" could not be processed.") + CRLF + QuotedText(in.gProcessReport) + CRLF;
    } else if (caps) {
        t += std::string(" has been processed in Internet FAX Full Mode.") + CRLF;
    } else {
        t += std::string(" has been processed.") + CRLF +
             "This is not a guarantee that the message has been read or understood." + CRLF +
             "For more information " + config::kServiceWebAddress + "." + CRLF;
    }
    t += CRLF;

    t += "--" + B + CRLF;
    t += std::string("content-type: message/disposition-notification") + CRLF + CRLF;
    t += "Reporting-UA: " + vf + "; " + run.gAppTitle + " " + run.gVersion + CRLF;
    t += "Original-Recipient: rfc822;" + vf + CRLF;
    t += "Final-Recipient: rfc822;" + vf + CRLF;
    t += "Original-Message-ID: " + originalId + CRLF;

    if (in.gfglFullMode && caps) {
        // A capability request is answered with our capabilities only: no
        // copy of the message, so the report has two parts.
        t += std::string("Disposition: automatic-action/MDN-sent-automatically;") + CRLF;
        t += std::string("        processed / G3Fax-capability-request") + CRLF;
        t += frame40 + CRLF;
        t += std::string("        G3Fax-frame=80,004372") + CRLF + CRLF;
        t += "--" + B + "--";
    } else {
        if (in.gfglFullMode) {
            t += std::string("Disposition: automatic-action/MDN-sent-automatically; ") + CRLF;
            t += std::string(16, ' ') + disp + " / G3Fax-report-request" + CRLF;
            if (!failed) {
                t += "G3Fax-Report:G3Fax-Results=00;G3Fax-Pages=" +
                     platform::TrimBlanks(in.gPageCount) + CRLF + CRLF;
            } else if (in.gFailureText != "System Error") {
                t += "G3Fax-Report:G3Fax-Results=02;" + frame40 + CRLF;
                t += std::string(15, ' ') + "G3Fax-frame=80,004372" + CRLF;
            } else {
                t += std::string("G3Fax-Report:G3Fax-Results=01") + CRLF;
            }
        } else {
            t += "Disposition: automatic-action/MDN-sent-automatically; " + disp + CRLF;
            if (failed) t += "Failure: " + in.gFailureText + CRLF;
            t += std::string(
                     "Accept-Features: ua-media=stationary;paper-size=letter;grey=2;"
                     "dpi-x=300;dpi-y=300") +
                 CRLF + CRLF;
        }
        t += "--" + B + CRLF;
        t += std::string("content-type: message/rfc822") + CRLF + CRLF;
        t += QuotedText(in.FullMsgHdr) + CRLF;
        t += fileReport + CRLF;
        t += std::string(CRLF) + "--" + B + "--";
    }
    t += std::string(CRLF) + CRLF + "." + CRLF;
    return t;
}

std::string ComposeTestMessageText(const std::string& recipient, const config::NodeConfig& cfg,
                                   const config::RunGlobals& run, const LocalStamp& now) {
    std::string t;
    t += "To: <" + recipient + ">" + CRLF;
    t += "Message-Id: <VFTEST." + now.stamp + "." + cfg.gVoxaFaxAddr + ">" + CRLF;
    t += "Date: " + now.date + " " + now.time + CRLF;
    t += std::string("Subject: Test VOXA-FAX") + CRLF + CRLF;
    t += run.gBannerText;
    for (int i = 0; i < 7; ++i) t += CRLF;
    t += "             WELCOME TO THE WONDERFULL WORLD OF VOXA-FAX";
    for (int i = 0; i < 7; ++i) t += CRLF;
    t += run.gBannerText;
    t += std::string(CRLF) + CRLF + "." + CRLF;
    return t;
}

std::string StageReceiptFile(const std::string& folder, const std::string& text) {
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return WriteTempFile(dir, text);
}

std::string PublishReceiptFile(const std::string& folder, const std::string& stamp,
                               const std::string& staged) {
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    // link() never replaces: an unsent receipt of the same second keeps its
    // file and this one takes the next free suffix.
    std::string name;
    for (int n = 1; n < 1000; ++n) {
        std::string candidate = stamp + (n == 1 ? "" : "_" + std::to_string(n)) + ".MDN";
        if (::link(staged.c_str(), (dir + candidate).c_str()) == 0) {
            name = candidate;
            break;
        }
        if (errno != EEXIST) break;
    }
    if (name.empty()) return "";
    ::unlink(staged.c_str());
    (void)platform::FsyncFolder(dir);
    return name;
}

std::string QueueReceiptFile(const std::string& folder, const std::string& stamp,
                             const std::string& text) {
    const std::string staged = StageReceiptFile(folder, text);
    if (staged.empty()) return "";
    std::string name = PublishReceiptFile(folder, stamp, staged);
    if (name.empty()) ::unlink(staged.c_str());
    return name;
}

}  // namespace mailout
