#include "mailout/Compose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

// The date as the internet message format has it, in English whatever the
// locale: "Fri, 12 Jun 2026 18:25:01 +0200".
std::string InternetDate(const std::tm& tm) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = tm.tm_gmtoff / 60;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[tm.tm_wday % 7], tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60,
                  std::labs(offset) % 60);
    return buf;
}

}  // namespace

std::string DateForLog(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    return Format(tm, "%Y-%m-%d %H:%M");
}

LocalStamp StampAt(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    LocalStamp s;
    s.date = Format(tm, "%m/%d/%Y");
    s.time = Format(tm, "%I:%M:%S ") + (tm.tm_hour < 12 ? "AM" : "PM");
    s.stamp = Format(tm, "%Y%m%d%H%M%S");
    s.rfc = InternetDate(tm);
    return s;
}

namespace {

const char* const kFrame40 = "G3Fax-t30frame:G3Fax-frame=40,373635342033323332203330;";

// The receipt's header fields. What the message said goes into header lines
// as one line each: a receipt answers a stranger, and must not carry
// commands or fields of theirs to whomever they name.
std::string MdnHeader(const ReceiptInputs& in, const std::string& recipient,
                      const config::NodeConfig& cfg, const config::RunGlobals& run,
                      const LocalStamp& now, bool standards) {
    const std::string& vf = cfg.gVoxaFaxAddr;
    const std::string subject = HeaderText(in.gSubject);
    std::string t;
    t += "To:" + HeaderText(recipient) + CRLF;
    t += "From:" + vf + CRLF;
    t += (standards ? "Date: " + now.rfc : "Date:" + now.date + " " + now.time) + CRLF;
    t += "X-VF-PageCount:" + in.gPageCount + CRLF;
    t += "X-VF-Original-Id: " + in.gOriginalId + CRLF;
    const std::string id = "MDN." + now.stamp + "." + vf;
    t += "Message-Id: " + (standards ? "<" + id + ">" : id) + CRLF;
    if (in.gDispositionType != "CapsRequest")
        t += "Subject: RE: " + subject + " : VOXA-FAX confirmation." + CRLF;
    else
        t += "Subject: RE: " + subject + CRLF;
    t += std::string("MIME-Version: 1.0") + CRLF;
    if (in.gFaxToAddr.empty())
        t += std::string("Content-Type: multipart/report; report-type=disposition-notification;") +
             CRLF;
    else
        t += std::string("Content-Type: message/fax") + CRLF;
    t += "     boundary = \"" + run.gMDNBoundary + "\"" + CRLF + CRLF;
    return t;
}

// The first part: the outcome in words. Text from the message is quoted
// with CR LF line ends and bounded in size.
std::string MdnExplanation(const ReceiptInputs& in, const config::NodeConfig& cfg) {
    const std::string& disp = in.gDispositionType;
    std::string t = "The VOXA-FAX sent on " + HeaderText(in.gPOPSentDateTime) + " to " +
                    cfg.gVoxaFaxAddr + " with the subject \"" + HeaderText(in.gSubject) + "\"";
    if (disp == "Failed") {
        t += std::string(" could not be processed.") + CRLF + QuotedText(in.gProcessReport) + CRLF;
    } else if (disp == "CapsRequest") {
        t += std::string(" has been processed in Internet FAX Full Mode.") + CRLF;
    } else {
        t += std::string(" has been processed.") + CRLF +
             "This is not a guarantee that the message has been read or understood." + CRLF +
             "For more information " + config::kServiceWebAddress + "." + CRLF;
    }
    return t + CRLF;
}

// The disposition fields of the second part, for a receipt that is not an
// answer to a capability request in full mode.
std::string MdnDisposition(const ReceiptInputs& in) {
    const std::string& disp = in.gDispositionType;
    const bool failed = disp == "Failed";
    std::string t;
    if (!in.gfglFullMode) {
        t += "Disposition: automatic-action/MDN-sent-automatically; " + disp + CRLF;
        if (failed) t += "Failure: " + in.gFailureText + CRLF;
        return t +
               "Accept-Features: ua-media=stationary;paper-size=letter;grey=2;dpi-x=300;dpi-y=300" +
               CRLF + CRLF;
    }
    t += std::string("Disposition: automatic-action/MDN-sent-automatically; ") + CRLF;
    t += std::string(16, ' ') + disp + " / G3Fax-report-request" + CRLF;
    if (!failed) {
        t += "G3Fax-Report:G3Fax-Results=00;G3Fax-Pages=" + platform::TrimBlanks(in.gPageCount) +
             CRLF + CRLF;
    } else if (in.gFailureText != "System Error") {
        t += std::string("G3Fax-Report:G3Fax-Results=02;") + kFrame40 + CRLF;
        t += std::string(15, ' ') + "G3Fax-frame=80,004372" + CRLF;
    } else {
        t += std::string("G3Fax-Report:G3Fax-Results=01") + CRLF;
    }
    return t;
}

}  // namespace

std::string ComposeMDNText(const ReceiptInputs& in, const std::string& recipient,
                           const config::NodeConfig& cfg, const config::RunGlobals& run,
                           const LocalStamp& now, bool standards) {
    const std::string& vf = cfg.gVoxaFaxAddr;
    const std::string& B = run.gMDNBoundary;
    std::string t = MdnHeader(in, recipient, cfg, run, now, standards);
    t += "--" + B + CRLF + CRLF;
    t += MdnExplanation(in, cfg);
    t += "--" + B + CRLF;
    t += std::string("content-type: message/disposition-notification") + CRLF + CRLF;
    t += "Reporting-UA: " + vf + "; " + run.gAppTitle + " " + run.gVersion + CRLF;
    t += "Original-Recipient: rfc822;" + vf + CRLF;
    t += "Final-Recipient: rfc822;" + vf + CRLF;
    t += "Original-Message-ID: " + HeaderText(in.gOriginalMsgID) + CRLF;
    if (in.gfglFullMode && in.gDispositionType == "CapsRequest") {
        // A capability request is answered with our capabilities only: no
        // copy of the message, so the report has two parts.
        t += std::string("Disposition: automatic-action/MDN-sent-automatically;") + CRLF;
        t += std::string("        processed / G3Fax-capability-request") + CRLF;
        t += std::string(kFrame40) + CRLF;
        t += std::string("        G3Fax-frame=80,004372") + CRLF + CRLF;
        t += "--" + B + "--";
    } else {
        t += MdnDisposition(in);
        t += "--" + B + CRLF;
        t += std::string("content-type: message/rfc822") + CRLF + CRLF;
        t += QuotedText(in.FullMsgHdr) + CRLF;
        t += QuotedText(in.gFileReport) + CRLF;
        t += std::string(CRLF) + "--" + B + "--";
    }
    t += std::string(CRLF) + CRLF + "." + CRLF;
    return t;
}

std::string ComposeTestMessageText(const std::string& recipient, const config::NodeConfig& cfg,
                                   const config::RunGlobals& run, const LocalStamp& now,
                                   bool standards) {
    std::string t;
    if (standards) t += "From: <" + cfg.gVoxaFaxAddr + ">" + CRLF;
    t += "To: <" + recipient + ">" + CRLF;
    t += "Message-Id: <VFTEST." + now.stamp + "." + cfg.gVoxaFaxAddr + ">" + CRLF;
    t += "Date: " + (standards ? now.rfc : now.date + " " + now.time) + CRLF;
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
