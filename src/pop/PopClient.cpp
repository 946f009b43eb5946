// The POP3 session: logon (STLS and SASL where asked), STAT, LIST and UIDL,
// then RETR and DELE for every message, QUIT. Deletions only take effect at
// QUIT; what arrived whole is delivered in any case, and PopStaging
// remembers what the server may still hand out again.
#include "pop/PopClient.h"

#include <unistd.h>

#include <ctime>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "config/Secrets.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "pop/PopReply.h"

namespace pop {
namespace {

constexpr const char* kCrLf = "\r\n";

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" ||
           address.rfind("::ffff:127.", 0) == 0;
}

// A SASL continuation ("+ " and a challenge, or a bare "+").
bool IsContinuation(std::string_view reply) {
    return reply.starts_with("+ ") || reply.starts_with("+\r") || reply.starts_with("+\n");
}

}  // namespace

PopClient::PopClient(const PopServices& services, net::FrmMail& form)
    : wallClock([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      s_(services),
      form_(form),
      link_(services, form),
      staging_(services.run, services.log),
      passOver_(services.run.gInDir + ".pop/failing") {
    form_.POPTimout = [this](std::int16_t doState) { return link_.POPTimout(doState); };
}

PopClient::~PopClient() {
    form_.POPTimout = nullptr;
}

void PopClient::CHECKMAIL_Click() {
    staging_.Open(wallClock());
    passOver_.Load();
    host_ = s_.options.popHost.empty() ? s_.run.gPOPServer : s_.options.popHost;
    awaited_ = greeting_ = lastReply_ = refusal_ = partialFile_ = whole_ = {};
    failure_ = {};
    lookupFailed_ = wrongProtocol_ = clearRefused_ = tlsFailed_ = secured_ = continued_ = false;
    inTransaction_ = sawAll_ = tooSlow_ = false;
    newMessages_ = 0;
    newBytes_ = 0;
    box_.Clear();

    bool ok = false;
    try {
        net::CreateSocket(form_, form_.POPSocket(), "POP");  // idempotent
        ok = Session();
    } catch (...) {
        // Out of memory: treated like any failed session; the server keeps
        // the messages because no QUIT was sent.
        s_.log.Error(Where() + ": the session failed for want of memory");
        s_.run.NoteFailure(config::RunFailure::Retrieval);
    }
    if (!partialFile_.empty()) ::unlink(partialFile_.c_str());
    if (!ok) ErrorReport();
    // Whole downloads reach In/ whatever became of the session.
    staging_.Close();
    (void)passOver_.Save();
    if (newMessages_ > 0)
        s_.log.Info("downloaded " + std::to_string(newMessages_) +
                    (newMessages_ == 1 ? " message, " : " messages, ") + SizeText(newBytes_));
    link_.End();
    secret_.clear();
    link_.Mask({});
}

bool PopClient::Probe() {
    host_ = s_.options.popHost.empty() ? s_.run.gPOPServer : s_.options.popHost;
    awaited_ = greeting_ = lastReply_ = refusal_ = {};
    lookupFailed_ = wrongProtocol_ = clearRefused_ = tlsFailed_ = secured_ = continued_ = false;
    form_.gPOP_Error = net::kPopOk;
    form_.gPOPSockErrDescr.clear();
    net::CreateSocket(form_, form_.POPSocket(), "POP");
    auto secret = s_.secrets.Password(s_.options.popSecret, s_.cfg.gPassword);
    bool ok = static_cast<bool>(secret);
    if (!ok) s_.log.Error(Where() + ": " + secret.status().detail);
    if (ok) {
        secret_ = std::move(*secret);
        link_.Mask(secret_);
        link_.Begin();
        ok = LogOn();
        if (!ok) ReportLogonFailure();
    }
    if (ok) {
        link_.ArmStep(link_.Ticks(s_.cfg.gTimoutMinutes));
        if (link_.Send(std::string("QUIT") + kCrLf)) (void)link_.AwaitLine(1);
    }
    link_.End();
    secret_.clear();
    link_.Mask({});
    return ok;
}

bool PopClient::Session() {
    form_.gPOP_Error = net::kPopOk;
    form_.gPOPSockErrDescr.clear();
    // The password or token is read before anything is sent: a source that
    // fails says so, and no server is asked with an empty one.
    auto secret = s_.secrets.Password(s_.options.popSecret, s_.cfg.gPassword);
    if (!secret) {
        s_.log.Error(Where() + ": " + secret.status().detail);
        s_.run.NoteFailure(config::RunFailure::Config);
        return true;  // nothing was asked of the server: no error report
    }
    secret_ = std::move(*secret);
    link_.Mask(secret_);
    link_.Begin();
    s_.log.Info(Where() + ": connecting");
    if (!LogOn()) return ReportLogonFailure(), false;
    form_.gSocketState = net::kSockAwaitReply;
    inTransaction_ = true;
    if (st_.gPOPMsgCount < 1) {
        config::WriteStatus(s_.profile, "No new VOXA-FAXes");
        s_.log.Info(Where() + ": no new messages");
        sawAll_ = true;
    } else {
        config::WriteStatus(s_.profile,
                            "Downloading " + std::to_string(st_.gPOPMsgCount) + " VOXA-FAXes");
        if (!ReadListings()) return ReportTransactionFailure(0, ""), false;
        if (!Transaction(wallClock())) return false;
        HandOver();
    }
    return Quit();
}

// The steps up to STAT's reply, each on the reply to the one before; a reply
// that never comes, a refusal or a connection that is gone ends it.
bool PopClient::LogOn() {
    awaited_ = "greeting";
    st_.gPOPState = POP_OpenConnection;
    POP_Process();
    if (form_.gPOP_Error != net::kPopOk) return false;
    st_.gPOPState = POP_UserValidation;
    while (st_.gPOPState != POP_ReadStats) {
        POP_Process();
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.gSocketState = net::kSockAwaitReply;
        if (link_.POPTimout(net::kSockIdle) || form_.gPOP_Error != net::kPopOk) return false;
    }
    POP_Process();
    return form_.gPOP_Error == net::kPopOk;
}

void PopClient::POP_Process() {
    const ReplyKind reply = ReplyCode(form_.PortIn);
    if (st_.gPOPState != POP_OpenConnection) NoteReply();
    switch (st_.gPOPState) {
        case POP_OpenConnection:
            return Connect();
        case POP_UserValidation:
            return JudgeGreeting();
        case POP_StlsValidation:
            return JudgeStls();
        case POP_PassValidation:
            // A reply that is neither positive nor negative sends the
            // previous command again.
            if (reply == ReplyKind::Negative) return Refuse();
            if (reply == ReplyKind::Positive) st_.gPOPCommand = "PASS " + secret_ + kCrLf;
            return Next(POP_Statistics, "PASS");
        case POP_Statistics:
            if (reply == ReplyKind::Negative) return Refuse();
            // XOAUTH2 tells a refused token by a challenge first: an empty
            // answer brings the refusal.
            if (awaited_ == "AUTH" && !continued_ && IsContinuation(form_.PortIn)) {
                continued_ = true;
                st_.gPOPCommand = kCrLf;
                return Next(POP_Statistics, "AUTH");
            }
            if (reply == ReplyKind::Positive) st_.gPOPCommand = std::string("STAT") + kCrLf;
            return Next(POP_ReadStats, "STAT");
        case POP_ReadStats:
            if (reply == ReplyKind::Positive) {
                ParseStatReply(form_.PortIn, st_.gPOPMsgCount, st_.gPOPMailboxSize);
            } else if (reply == ReplyKind::Negative) {
                refusal_ = lastReply_;
                form_.gPOP_Error = net::kPopRefused;
            }
            st_.gPOPMsgNum = 0;
            st_.gPOPState = POP_Transaction;
            form_.gSocketState = net::kSockIdle;
            return;
        default:
            return;
    }
}

void PopClient::Connect() {
    form_.DropUnread(net::kPopSide);
    if (!net::GetHostIPAddress(form_, form_.POPSocket(), host_, "POP")) {
        lookupFailed_ = true;
        form_.gPOP_Error = net::kPopLookupFailed;
        return;
    }
    secured_ = s_.options.popTls;
    net::OpenConnection(form_, form_.POPSocket(), net::kPopSide);
}

void PopClient::JudgeGreeting() {
    greeting_ = lastReply_;
    const ReplyKind reply = ReplyCode(form_.PortIn);
    if (reply == ReplyKind::Negative) return Refuse();
    // Another kind of server (SMTP on the POP3 port) says so in its greeting:
    // nothing it could answer later would make it a POP3 server.
    if (reply == ReplyKind::Neither && !form_.PortIn.starts_with("+OK")) {
        wrongProtocol_ = true;
        form_.gPOP_Error = net::kPopConnectFailed;
        return;
    }
    if (reply == ReplyKind::Positive && s_.options.popStartTls && !secured_) {
        st_.gPOPCommand = std::string("STLS") + kCrLf;
        return Next(POP_StlsValidation, "STLS");
    }
    if (reply == ReplyKind::Positive) return SendLogon();
    Next(POP_PassValidation, "USER");
}

// STLS answered: TLS from here on, or, when the server will not, clear text
// only if the user allowed it.
void PopClient::JudgeStls() {
    if (ReplyCode(form_.PortIn) == ReplyKind::Positive) {
        if (!net::StartTls(form_, form_.POPSocket(), net::kPopSide)) {
            tlsFailed_ = true;
            if (form_.gPOP_Error == net::kPopOk) form_.gPOP_Error = net::kPopConnectFailed;
            return;
        }
        secured_ = true;
        s_.log.Info(Where() + ": TLS started");
        return SendLogon();
    }
    if (!s_.options.popAllowClear) {
        clearRefused_ = true;
        return Refuse();
    }
    s_.log.Warning(Where() + ": the server refused STLS (\"" + lastReply_ +
                   "\"); going on without TLS, as [pop3] allow_clear = yes in " +
                   s_.env.OptionsIni() + " allows");
    SendLogon();
}

void PopClient::SendLogon() {
    if (!secured_ && !IsLoopback(form_.POPSocket().HostAddress()))
        s_.log.Warning(Where() + ": the password goes to " + host_ +
                       " unencrypted; set [pop3] tls = yes or tls = starttls in " +
                       s_.env.OptionsIni());
    const std::string user = LogonName();
    switch (s_.options.popAuth) {
        case config::Options::PopAuth::User:
            st_.gPOPCommand = "USER " + user + kCrLf;
            return Next(POP_PassValidation, "USER");
        case config::Options::PopAuth::Plain:
            st_.gPOPCommand = "AUTH PLAIN " +
                              platform::Base64(std::string(1, '\0') + user + '\0' + secret_) +
                              kCrLf;
            return Next(POP_Statistics, "AUTH");
        case config::Options::PopAuth::XOAuth2:
            st_.gPOPCommand =
                "AUTH XOAUTH2 " +
                platform::Base64("user=" + user + "\x01" + "auth=Bearer " + secret_ + "\x01\x01") +
                kCrLf;
            return Next(POP_Statistics, "AUTH");
    }
}

// Sends the command in hand (a new one, or the previous one again) and names
// the step that judges its reply. A failed write shows as a time-out of the
// wait that follows.
void PopClient::Next(PopStep step, const char* awaited) {
    st_.gPOPState = step;
    awaited_ = awaited;
    (void)link_.Send(st_.gPOPCommand);
}

void PopClient::Refuse() {
    refusal_ = lastReply_;
    st_.gPOPCommand = std::string("QUIT") + kCrLf;
    st_.gPOPState = POP_JustQuit;
    form_.gPOP_Error = net::kPopRefused;
    (void)link_.Send(st_.gPOPCommand);
}

bool PopClient::Quit() {
    // The copies must be safe on the disk before the server may delete the
    // originals; a failure is logged, and without QUIT the server keeps them.
    if (!staging_.Sync()) return false;
    link_.ArmStep(link_.Ticks(s_.cfg.gTimoutMinutes));
    st_.gPOPCommand = std::string("QUIT") + kCrLf;
    const char* kept =
        "; the messages are delivered and remembered, in case the server still holds them";
    if (!link_.Send(st_.gPOPCommand) || !link_.AwaitLine(1)) {
        s_.log.Warning(Where() + ": no answer to QUIT (" + link_.LostWhy() + ")" + kept);
        return false;
    }
    NoteReply();
    if (form_.PortIn.find("+OK") == std::string::npos) {
        s_.log.Warning(Where() + ": QUIT not confirmed: \"" + lastReply_ + "\"" + kept);
        return false;
    }
    staging_.QuitConfirmed(sawAll_);
    return true;
}

}  // namespace pop
