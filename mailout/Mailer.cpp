#include "mailout/Mailer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/HeaderUtils.h"
#include "mailout/Compose.h"
#include "mailout/SMTPprocedures.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace mailout {
namespace {

// Names waiting in the queue folder, in name order (oldest stamp first).
// Hidden names are files still being written.
std::vector<std::string> QueuedNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        struct stat st {};
        if (::stat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string LastThreeUpper(const std::string& s) {
    return platform::Upper(s.size() > 3 ? s.substr(s.size() - 3) : s);
}

}  // namespace

Mailer::Mailer(config::Context& ctx, net::FrmMail& form) : ctx_(ctx), form_(form) {}

Mailer::~Mailer() = default;

bool Mailer::SendMessage(const std::string& type) {
    const config::NodeConfig& cfg = ctx_.cfg;
    config::RunGlobals& run = ctx_.run;

    // "Name <addr>" becomes "addr": what follows the first blank, without
    // its first and last characters.
    if (st_.gSMTPRecipAddr.find(" <") != std::string::npos) {
        std::string rest = st_.gSMTPRecipAddr.substr(st_.gSMTPRecipAddr.find(' ') + 1);
        st_.gSMTPRecipAddr = rest.size() >= 2 ? rest.substr(1, rest.size() - 2) : std::string();
    }
    std::string domain;
    if (!st_.gSMTPRecipAddr.empty()) {
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

    attempts_.clear();
    bool sent = false;
    for (std::size_t row = 0; row < SMTPCoordinates.size(); ++row) {
        const auto& [server, sender] = SMTPCoordinates[row];
        // Row 2 is never empty ("mail." at least): without a domain it simply
        // fails to resolve.
        if (server.empty() || sender.empty()) continue;
        st_.gSMTPServer = server;
        st_.gSMTPSenderAddr = sender;
        attempts_ += server + " + " + sender + " , ";
        SendEMail(form_, st_);
        if (form_.gSMTP_Error == net::kSmtpOk) {
            sent = true;
            break;
        }
        // A test whose own address is refused by its own domain's server
        // has its answer: no other server would make it arrive.
        if (st_.gflgTestSend && row == 0 && form_.gSMTP_Error == net::kSmtpRecipientRefused) break;
    }
    // last_error carries the bare code ("7" after a time-out), as the
    // scheduler reads it.
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
    for (const std::string& name : QueuedNames(out)) {
        const std::string kind = platform::TrimBlanks(LastThreeUpper(name));
        if (!SendMessageFile(out + name)) continue;  // stays for the next run
        if (kind == "MDN" && ctx_.cfg.gflgSaveMDNs) SaveReceiptCopy(name);
        ::unlink((out + name).c_str());
    }
}

void Mailer::SaveReceiptCopy(const std::string& fileName) {
    const std::string to = ctx_.run.gMDNFolder + fileName;
    ::unlink(to.c_str());
    if (auto text = platform::ReadWholeFile(ctx_.run.gOutFolder + fileName))
        (void)platform::WriteFileAtomically(to, *text);
}

std::string Mailer::ComposeMDN(const ReceiptInputs& in, std::string& fileName) {
    const LocalStamp now = StampAt(std::time(nullptr));
    std::string text = ComposeMDNText(in, st_.gSMTPRecipAddr, ctx_.cfg, ctx_.run, now);
    fileName = QueueReceiptFile(ctx_.run.gOutFolder, now.stamp, text);
    return text;
}

void Mailer::SendReceipt(const ReceiptInputs& in) {
    std::string name;
    st_.gMessageBody = ComposeMDN(in, name);
    if (st_.gSMTPSenderAddr.empty()) st_.gSMTPSenderAddr = ctx_.cfg.gVoxaFaxAddr;
    if (!SendMessage("MDN+" + in.gDispositionType)) return;  // waits in Out/ for a later run
    if (name.empty()) return;  // it could not be queued; it went out from memory
    if (ctx_.cfg.gflgSaveMDNs) SaveReceiptCopy(name);
    ::unlink((ctx_.run.gOutFolder + name).c_str());
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
    const bool sent = SendMessage("Test_VOXA_FAX");
    ctx_.profile.WriteProfileStringA(config::kSection, "test_server",
                                     sent ? st_.gSMTPServer : std::string());
    st_.gflgTestSend = false;
}

}  // namespace mailout
