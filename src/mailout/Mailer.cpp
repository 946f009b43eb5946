#include "mailout/Mailer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/HeaderUtils.h"
#include "mailout/Compose.h"
#include "mailout/ReceiptLedger.h"
#include "mailout/SMTPprocedures.h"
#include "mailout/SafeText.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "config/Options.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace mailout {
namespace {

// Names waiting in the queue folder, in name order (oldest stamp first).
// Hidden names are files still being written.
std::vector<std::string> QueuedNames(const std::string& folder) {
    std::vector<std::string> names = platform::ListFiles(folder).value_or({});
    std::erase_if(names, [](const std::string& name) { return name[0] == '.'; });
    return names;
}

std::string LastThreeUpper(const std::string& s) {
    return platform::Upper(s.size() > 3 ? s.substr(s.size() - 3) : s);
}

// A length of time as the run log gives it.
std::string Span(platform::Millis d) {
    const auto ms = d.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The local date of a time, for the run log.
std::string DateOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return std::string(buf, n);
}

// Codes after which the server is not worth another try in this run: it was
// not found, not reached, or did not answer in time. A server that answered
// and refused may still take another sender or another message.
bool NotWorthAnotherTry(std::int32_t code) {
    return code != net::kSmtpOk && code != net::kSmtpServiceUnavailable &&
           code != net::kSmtpRecipientRefused && code != net::kSmtpDataRefused &&
           code != net::kSmtpNotConfirmed;
}

std::time_t ModifiedAt(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : std::time(nullptr);
}

}  // namespace

Mailer::Mailer(config::Context& ctx, net::FrmMail& form) : ctx_(ctx), form_(form) {}

Mailer::~Mailer() = default;

std::string Mailer::UndeliveredFolder() const {
    return ctx_.run.gAppPath + "/Undelivered/";
}

std::string Mailer::LedgerPath() const {
    return ctx_.run.gAppPath + "/receipts.ledger";
}

ReceiptLedger& Mailer::Ledger() {
    if (!ledger_) {
        ledger_ = std::make_unique<ReceiptLedger>(LedgerPath());
        ledger_->Load(std::time(nullptr));
        FinishStagedReceipts();
    }
    return *ledger_;
}

// A run that ended between recording a receipt and giving it its name in
// Out/ left it staged: it is queued now, so that it is sent once, neither
// lost nor composed again. A staged file the ledger does not name was never
// recorded (the message gets its receipt when it is walked again) and goes.
void Mailer::FinishStagedReceipts() {
    const std::string& out = ctx_.run.gOutFolder;
    std::set<std::string> known;
    bool changed = false;
    for (const auto& [key, staged] : ledger_->Staged()) {
        known.insert(staged);
        const std::string path = out + staged;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            // Two links: it got its name and only the hidden one is left over.
            if (st.st_nlink > 1 ||
                !PublishReceiptFile(out, StampAt(st.st_mtime).stamp, path).empty())
                ::unlink(path.c_str());
            else
                continue;  // it stays staged; the next run tries again
        }
        ledger_->Settle(key);
        changed = true;
    }
    if (auto names = platform::ListFolder(out)) {
        for (const std::string& name : *names)
            if (name.starts_with(kStagedPrefix) && !known.count(name))
                ::unlink((out + name).c_str());
    }
    if (changed) (void)ledger_->Save();
}

std::string Mailer::ServerLabel(const std::string& server) const {
    return server + ":" + std::to_string(ctx_.options.smtpPort);
}

std::string Mailer::Reason(std::int32_t code, platform::Millis took) const {
    const std::string reply = st_.lastReply.empty() ? "" : " " + Quoted(st_.lastReply);
    const net::SmtpOutcomeText* t = net::FindSmtpOutcome(code);
    if (!t)
        return form_.gSMTPSocketErrorString.empty() ? "socket error " + std::to_string(code)
                                                    : form_.gSMTPSocketErrorString;
    if (code == net::kSmtpConnectFailed) {
        if (!form_.gSMTPSocketErrorString.empty())
            return "cannot connect: " + form_.gSMTPSocketErrorString;
        if (took >= ReplyWaitLimit(form_))
            return "no greeting within " + Span(ReplyWaitLimit(form_));
    }
    if (code == net::kSmtpTimedOut) {
        if (st_.deadlinePassed)
            return "not done within the " + Span(DialogueDeadline(form_)) + " a dialogue may take";
        return "timed out after " + Span(ReplyWaitLimit(form_));
    }
    return t->quotesReply ? t->reason + (":" + reply) : std::string(t->reason);
}

std::string Mailer::LastErrorInWords() const {
    const std::int32_t code = form_.gSMTP_Error;
    const net::SmtpOutcomeText* t = net::FindSmtpOutcome(code);
    const std::string words = t ? t->meaning : form_.gSMTPSocketErrorString;
    return "last_error " + ctx_.run.gLastError + ": " + words;
}

std::string Mailer::Reasons() const {
    std::string out, skipped;
    for (const auto& [label, what] : tried_) {
        if (what.empty()) {  // found unreachable earlier: named only
            skipped += (skipped.empty() ? "" : ", ") + label;
            continue;
        }
        if (!out.empty()) out += "; ";
        out += label + " " + what;
    }
    if (!skipped.empty())
        out += (out.empty() ? "" : "; ") + ("not asked again in this run: " + skipped);
    if (out.empty()) out = "no server could be tried";
    return out;
}

bool Mailer::SendMessage(const std::string& type) {
    const config::NodeConfig& cfg = ctx_.cfg;
    config::RunGlobals& run = ctx_.run;
    tried_.clear();
    attempts_.clear();
    anyCandidate_ = false;

    // "Name <addr>" or "<addr>" becomes "addr". Whatever else a message put
    // there goes into no command and no header: the message is not sent.
    std::string address;
    if (ReduceRecipient(st_.gSMTPRecipAddr, address, recipientFault_)) st_.gSMTPRecipAddr = address;
    std::string domain;
    if (recipientFault_.empty()) {
        std::string before;
        convert::SplitAtFirst(st_.gSMTPRecipAddr, "@", before, domain);
    }
    // Mail to the service's own domain goes straight to its address when one
    // is configured.
    if (domain == config::kServiceMailDomain && !platform::TrimBlanks(cfg.gVFIPAddress).empty())
        domain = cfg.gVFIPAddress;

    const std::array<std::pair<std::string, std::string>, 9> SMTPCoordinates{{
        {domain, st_.gSMTPSenderAddr},
        {"mail." + domain, st_.gSMTPSenderAddr},
        {cfg.gUserSMTPServer, cfg.gNormalEMailAddr},
        {cfg.gSMTPServer2, cfg.gNormalEMailAddr},
        {cfg.gUserSMTPServer, st_.gSMTPSenderAddr},
        {cfg.gSMTPServer2, st_.gSMTPSenderAddr},
        {cfg.gVFIPAddress, st_.gSMTPSenderAddr},
        {cfg.gVFSMTPSrvrName, st_.gSMTPSenderAddr},
        {cfg.gLastResortSMTPServer, st_.gSMTPSenderAddr},
    }};

    form_.gTimerInterval = net::kTimerMinuteMs;
    net::CreateSocket(form_, form_.SMTPSocket(), "SMTP");

    std::set<std::pair<std::string, std::string>> asked;
    bool sent = false;
    for (std::size_t row = 0; row < SMTPCoordinates.size() && recipientFault_.empty(); ++row) {
        const auto& [server, sender] = SMTPCoordinates[row];
        // Row 2 is never empty ("mail." at least): without a domain it simply
        // fails to resolve.
        if (server.empty() || sender.empty()) continue;
        if (const std::string why = AddressFault(sender); !why.empty()) {
            if (warnedSenders_.insert(sender).second)
                ctx_.log.Warning("sender address " + Quoted(sender) + " is not used: " + why +
                                 "; check Voxa_Fax_Addr and Normal_EMail_Addr in " +
                                 ctx_.env.profilePath);
            continue;
        }
        anyCandidate_ = true;
        // The same server and sender again would only give the same answer;
        // a server that could not be reached is not asked again this run.
        if (!asked.insert({server, sender}).second) continue;
        if (auto dead = unreachable_.find(server); dead != unreachable_.end()) {
            form_.gSMTP_Error = dead->second;
            tried_.emplace_back(server, "");
            continue;
        }
        st_.gSMTPServer = server;
        st_.gSMTPSenderAddr = sender;
        attempts_ += server + " + " + sender + " , ";
        config::WriteStatus(ctx_.profile, "Sending " + kind_ + " to " + st_.gSMTPRecipAddr +
                                              " via " + ServerLabel(server) + ", waiting up to " +
                                              Span(DialogueDeadline(form_)));
        const platform::SteadyTime began = ctx_.loop.clock().Now();
        SendEMail(form_, st_);
        const auto took =
            std::chrono::duration_cast<platform::Millis>(ctx_.loop.clock().Now() - began);
        const std::int32_t code = form_.gSMTP_Error;
        tried_.emplace_back(code == net::kSmtpHostUnknown ? server : ServerLabel(server),
                            Reason(code, took));
        if (code == net::kSmtpOk) {
            sent = true;
            break;
        }
        if (NotWorthAnotherTry(code)) unreachable_[server] = code;
        // A test whose own address is refused by its own domain's server
        // has its answer: no other server would make it arrive.
        if (st_.gflgTestSend && row == 0 && code == net::kSmtpRecipientRefused) break;
    }
    // last_error carries the bare code ("7" after a time-out), as the
    // scheduler reads it; the run log says it in words.
    if (!sent) run.gLastError = std::to_string(form_.gSMTP_Error);

    const std::string account = run.gAppPath + "/account.ini";
    auto& profile = ctx_.profile;
    profile.WritePrivateProfileStringA("log", "Version", run.gFormCaption, account);
    profile.WritePrivateProfileStringA("log", "SMTP_Type", type + (sent ? "_OK" : "_NOT_OK"),
                                       account);
    profile.WritePrivateProfileStringA("log", "SMTP_Servers", attempts_, account);
    profile.WritePrivateProfileStringA("log", "SMTP_State", st_.gSMTPLog, account);
    return sent;
}

bool Mailer::SendMessageFile(const std::string& fileName) {
    auto body = platform::ReadWholeFile(fileName);
    if (!body) return false;
    st_.gMessageBody = std::move(*body);
    // The sender stays what the previous send of the run left; at the start
    // of a run it is empty and only the rows with the user's own address run.
    st_.gSMTPRecipAddr = convert::GetHeaderField(st_.gMessageBody, "To:");
    st_.gflgTestSend = false;
    return SendMessage(LastThreeUpper(fileName) + "+");
}

void Mailer::SendQueuedFiles() {
    const std::string& out = ctx_.run.gOutFolder;
    ReceiptLedger& ledger = Ledger();  // first: it may queue a receipt left staged
    const std::vector<std::string> names = QueuedNames(out);
    for (const std::string& name : names) {
        const std::string kind = platform::TrimBlanks(LastThreeUpper(name));
        const std::string path = out + name;
        kind_ = kind == "MDN" ? "queued receipt" : "queued message";
        auto text = platform::ReadWholeFile(path);
        if (!text) continue;  // stays for a later run
        const std::time_t composed = ModifiedAt(path);
        st_.onAccepted = [&, copy = kind == "MDN"] { Delivered(name, *text, copy); };
        const bool sent = SendMessageFile(path);
        st_.onAccepted = nullptr;
        if (!sent) {
            if (!recipientFault_.empty())
                GiveUp(name, st_.gSMTPRecipAddr, "its recipient is refused: " + recipientFault_);
            else
                AfterFailedSend(name, st_.gSMTPRecipAddr, composed);
            continue;
        }
        ++ctx_.run.stats.receiptsSent;
        ctx_.log.Info(kind_ + " to " + st_.gSMTPRecipAddr + " sent via " +
                      ServerLabel(st_.gSMTPServer) + " (waiting since " + DateOf(composed) + ")");
        if (ledger.FailedRuns(name) > 0) {
            ledger.Forget(name);
            (void)ledger.Save();
        }
    }
}

void Mailer::AfterFailedSend(const std::string& name, const std::string& recipient,
                             std::time_t composed) {
    if (queuedThisRun_.insert(name).second) ++ctx_.run.stats.receiptsQueued;
    if (!anyCandidate_) {
        // Nothing was tried, so nothing failed: no run is counted against it.
        ctx_.log.Warning(kind_ + " to " + recipient +
                         " waits in Out/: no SMTP server and sender to try it with; set "
                         "User_SMTP_Server and Normal_EMail_Addr in " +
                         ctx_.env.profilePath);
        return;
    }
    ReceiptLedger& ledger = Ledger();
    int runs = ledger.FailedRuns(name);
    if (failedThisRun_.insert(name).second) {
        runs = ledger.NoteFailedRun(name);
        if (auto saved = ledger.Save(); !saved)
            ctx_.log.Warning("cannot record the failed receipt in " + ledger.path() + ": " +
                             saved.detail);
    }
    const int maxRuns = ctx_.options.receiptMaxRuns;
    const std::time_t maxAge = static_cast<std::time_t>(ctx_.options.receiptMaxDays) * 24 * 3600;
    if (runs >= maxRuns || std::time(nullptr) - composed >= maxAge) {
        GiveUp(name, recipient,
               runs >= maxRuns ? "no server took it in " + std::to_string(runs) + " runs"
                               : "no server took it since " + DateOf(composed));
        return;
    }
    const std::string what = kind_ == "receipt" ? "receipt to " + recipient + " queued: "
                                                : kind_ + " to " + recipient + " not sent again: ";
    // The run count and last_error first: a long list of servers is what
    // the log may cut.
    ctx_.log.Warning(what + "it waits in Out/ for the next run (" + std::to_string(runs) + " of " +
                     std::to_string(maxRuns) + " runs; " + LastErrorInWords() + "): " + Reasons());
}

void Mailer::GiveUp(const std::string& name, const std::string& recipient, const std::string& why) {
    const std::string from = ctx_.run.gOutFolder + name;
    const std::string folder = UndeliveredFolder();
    std::string to;
    platform::Status made = platform::MakeFolders(folder);
    std::string failure = made ? "" : made.detail;
    // link() never replaces a receipt given up before under that name.
    for (int n = 1; made && n < 1000 && to.empty(); ++n) {
        const std::string candidate = folder + name + (n == 1 ? "" : "." + std::to_string(n));
        if (::link(from.c_str(), candidate.c_str()) == 0) {
            to = candidate;
        } else if (errno != EEXIST) {
            failure = std::strerror(errno);
            break;
        }
    }
    if (to.empty()) {
        ctx_.log.Error(kind_ + " to " + recipient + " (" + from + ") is given up (" + why +
                       ") but cannot be moved into " + folder + ": " + failure +
                       "; it stays in Out/");
        return;
    }
    ::unlink(from.c_str());
    (void)platform::FsyncFolder(folder);
    (void)platform::FsyncFolder(ctx_.run.gOutFolder);
    ReceiptLedger& ledger = Ledger();
    ledger.Forget(name);
    (void)ledger.Save();
    const std::string tried = tried_.empty() ? "" : " (" + Reasons() + ")";
    ctx_.log.Error(kind_ + " to " + recipient + " given up: " + why + tried + "; kept in " + to);
}

// Called the moment the server has taken the message: the file leaves Out/
// before anything else happens, so that a run ending now does not send it
// again. The copy for MDNs/ is made from the text as it was read.
void Mailer::Delivered(const std::string& name, const std::string& text, bool keepCopy) {
    if (name.empty()) return;
    ::unlink((ctx_.run.gOutFolder + name).c_str());
    (void)platform::FsyncFolder(ctx_.run.gOutFolder);
    if (keepCopy && ctx_.cfg.gflgSaveMDNs)
        (void)QueueReceiptFile(ctx_.run.gMDNFolder, name.substr(0, name.find_first_of("._")), text);
}

void Mailer::SaveReceiptCopy(const std::string& fileName) {
    // Under its own name, or the next free one: two receipts of the same
    // second both keep their copy.
    const std::string stamp = fileName.substr(0, fileName.find_first_of("._"));
    if (auto text = platform::ReadWholeFile(ctx_.run.gOutFolder + fileName))
        (void)QueueReceiptFile(ctx_.run.gMDNFolder, stamp, *text);
}

std::string Mailer::ComposeMDN(const ReceiptInputs& in, std::string& staged, std::string& stamp) {
    const LocalStamp now = StampAt(std::time(nullptr));
    std::string text = ComposeMDNText(in, st_.gSMTPRecipAddr, ctx_.cfg, ctx_.run, now);
    staged = StageReceiptFile(ctx_.run.gOutFolder, text);
    stamp = now.stamp;
    return text;
}

void Mailer::SendReceipt(const ReceiptInputs& in) {
    const std::time_t now = std::time(nullptr);
    const std::string about = "receipt for " + Quoted(HeaderText(in.gSubject));
    ReceiptLedger& ledger = Ledger();
    const std::string key = ReceiptKey(in);
    if (const std::time_t when = ledger.AnsweredAt(key)) {
        ctx_.log.Info(about + " to " + st_.gSMTPRecipAddr +
                      " not sent: the message was answered on " + DateOf(when) + " already");
        return;
    }
    std::string address, why;
    if (!ReduceRecipient(st_.gSMTPRecipAddr, address, why)) {
        ctx_.log.Warning(about + " not sent: its recipient " + Quoted(st_.gSMTPRecipAddr) +
                         " is refused (" + why + ")");
        return;
    }
    // The receipt is written under a hidden name, recorded, and only then
    // queued under its name: a run that ends anywhere in between leaves
    // either nothing recorded (the message is answered when walked again)
    // or a recorded receipt that the next run queues.
    std::string staged, stamp;
    st_.gMessageBody = ComposeMDN(in, staged, stamp);
    const std::size_t slash = staged.rfind('/');
    ledger.NoteAnswered(key, now, staged.empty() ? "" : staged.substr(slash + 1));
    if (auto saved = ledger.Save(); !saved) {
        if (!staged.empty()) ::unlink(staged.c_str());
        ledger.ForgetAnswer(key);
        ctx_.log.Error(about + " to " + address + " not sent: cannot record it in " +
                       ledger.path() + " (" + saved.detail +
                       "); it is held back rather than risk sending it twice");
        return;
    }
    std::string name;
    if (!staged.empty()) {
        name = PublishReceiptFile(ctx_.run.gOutFolder, stamp, staged);
        if (name.empty()) ::unlink(staged.c_str());  // it goes out from memory only
    }
    ledger.Settle(key);  // saved with the next change: a run ending first finds it settled
    if (st_.gSMTPSenderAddr.empty()) st_.gSMTPSenderAddr = ctx_.cfg.gVoxaFaxAddr;
    kind_ = "receipt";
    const std::string text = st_.gMessageBody;
    st_.onAccepted = [&] { Delivered(name, text, true); };
    const bool sent = SendMessage("MDN+" + in.gDispositionType);
    st_.onAccepted = nullptr;
    if (sent) {
        ++ctx_.run.stats.receiptsSent;
        ctx_.log.Info("receipt to " + address + " sent via " + ServerLabel(st_.gSMTPServer) + " (" +
                      in.gDispositionType + ")");
        return;
    }
    if (name.empty()) {
        ctx_.log.Error("receipt to " + address + " lost: no server took it (" + Reasons() +
                       ") and it cannot be queued in " + ctx_.run.gOutFolder);
        return;
    }
    AfterFailedSend(name, address, now);  // it waits in Out/ for a later run
}

std::string Mailer::ComposeTestMessage() {
    return ComposeTestMessageText(st_.gSMTPRecipAddr, ctx_.cfg, ctx_.run,
                                  StampAt(std::time(nullptr)));
}

void Mailer::SendTestVoxaFax() {
    st_.gSMTPSenderAddr = ctx_.cfg.gVoxaFaxAddr;
    st_.gSMTPRecipAddr = ctx_.cfg.gVoxaFaxAddr;
    st_.gflgTestSend = true;
    st_.gMessageBody = ComposeTestMessage();
    kind_ = "test message";
    const bool sent = SendMessage("Test_VOXA_FAX");
    ctx_.profile.WriteProfileStringA(config::kSection, "test_server",
                                     sent ? st_.gSMTPServer : std::string());
    st_.gflgTestSend = false;
    if (sent) {
        ctx_.log.Info("test message to " + st_.gSMTPRecipAddr + " sent via " +
                      ServerLabel(st_.gSMTPServer));
        return;
    }
    ctx_.run.NoteFailure(config::RunFailure::SendFailed);
    if (!recipientFault_.empty()) {
        ctx_.log.Error("test message not sent: Voxa_Fax_Addr " + Quoted(ctx_.cfg.gVoxaFaxAddr) +
                       " is not a plain address (" + recipientFault_ + "); fix it in " +
                       ctx_.env.profilePath);
        return;
    }
    ctx_.log.Error("test message to " + st_.gSMTPRecipAddr +
                   " reached no SMTP server: " + Reasons() + " (" + LastErrorInWords() +
                   "); check User_SMTP_Server and the other SMTP servers in " +
                   ctx_.env.profilePath);
}

}  // namespace mailout
