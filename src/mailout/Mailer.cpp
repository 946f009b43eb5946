#include "mailout/Mailer.h"

#include <chrono>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "config/Secrets.h"
#include "convert/HeaderUtils.h"
#include "mailout/Compose.h"
#include "mailout/ReceiptLedger.h"
#include "mailout/SafeText.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/MailExchangers.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace mailout {
namespace {

// A length of time as the run log gives it.
std::string Span(platform::Millis d) {
    const auto ms = d.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// How long an MX lookup may take.
constexpr platform::Millis kMxBound{10000};

}  // namespace

Services ServicesOf(config::Context& ctx) {
    return Services{ctx.cfg,
                    ctx.options,
                    ctx.run,
                    ctx.loop,
                    ctx.profile,
                    ctx.log,
                    ctx.env.profilePath,
                    ctx.env.OptionsIni(),
                    ctx.env.tick,
                    [] { return std::time(nullptr); },
                    nullptr,
                    nullptr};
}

Mailer::Mailer(Services services, net::FrmMail& form) : sv_(std::move(services)), form_(form) {
    if (!sv_.secrets) {
        ownSecrets_ = std::make_unique<config::Secrets>(sv_.loop, sv_.optionsPath);
        sv_.secrets = ownSecrets_.get();
    }
    if (!sv_.mx && sv_.options.smtpMx) {
        // A run kept to a hosts file asks no name server unless told which.
        ownMx_ = sv_.options.hostsFileOnly && sv_.options.nameServer.empty()
                     ? platform::NoMailExchangers()
                     : platform::SystemMailExchangers(kMxBound, sv_.options.nameServer);
        sv_.mx = ownMx_.get();
    }
}

Mailer::~Mailer() = default;

std::string Mailer::ServerLabel(const std::string& server) const {
    const int port = st_.settings.port > 0 ? st_.settings.port : sv_.options.smtpPort;
    return server + ":" + std::to_string(port);
}

std::string Mailer::Reason(std::int32_t code) const {
    if (!st_.fault.empty()) return st_.fault;
    const net::SmtpOutcomeText* t = net::FindSmtpOutcome(code);
    if (!t)
        return form_.gSMTPSocketErrorString.empty() ? "socket error " + std::to_string(code)
                                                    : form_.gSMTPSocketErrorString;
    if (code == net::kSmtpConnectFailed)
        return form_.gSMTPSocketErrorString.empty()
                   ? "no greeting within " + Span(ReplyWaitLimit(sv_))
                   : "cannot connect: " + form_.gSMTPSocketErrorString;
    if (code == net::kSmtpTimedOut) {
        if (st_.deadlinePassed)
            return "not done within the " + Span(DialogueDeadline(sv_)) + " a dialogue may take";
        return "timed out after " + Span(ReplyWaitLimit(sv_));
    }
    const std::string reply = st_.lastReply.empty() ? "" : " " + Quoted(st_.lastReply);
    return t->quotesReply ? t->reason + (":" + reply) : std::string(t->reason);
}

std::string Mailer::LastErrorInWords() const {
    const std::int32_t code = form_.gSMTP_Error;
    const net::SmtpOutcomeText* t = net::FindSmtpOutcome(code);
    const std::string words = t ? t->meaning : form_.gSMTPSocketErrorString;
    return "last_error " + sv_.run.gLastError + ": " + words;
}

std::string Mailer::Reasons() const {
    std::string out;
    for (const auto& [label, what] : tried_) out += (out.empty() ? "" : "; ") + label + " " + what;
    return out.empty() ? "no server could be tried" : out;
}

bool Mailer::RelaySettings(DialogueSettings& out) {
    const config::Options& o = sv_.options;
    out = DialogueSettings{};
    out.implicitTls = o.smtpTls || o.smtpRelayPort == 465;
    out.port = o.smtpRelayPort > 0 ? o.smtpRelayPort : (out.implicitTls ? 465 : 587);
    out.extended = true;
    out.starttls = o.smtpStartTls && !out.implicitTls;
    out.helo = o.smtpHelo;
    out.user = o.smtpUser;
    out.mechanism = o.smtpAuth;
    // A provider that lets its login send only as itself gets the login.
    if (o.smtpUser.find('@') != std::string::npos) out.fallbackSender = o.smtpUser;
    if (out.user.empty()) return true;
    auto password = sv_.secrets->Password(o.smtpSecret, sv_.cfg.gPassword);
    if (password && !password->empty()) {
        out.password = std::move(*password);
        return true;
    }
    if (!relayUnusable_)
        sv_.log.Error(
            "smtp relay " + o.smtpRelayHost + ": no password for " + o.smtpUser + ": " +
            (password ? "Password in " + sv_.profilePath + " is empty" : password.status().detail));
    relayUnusable_ = true;
    return false;
}

std::vector<std::string> Mailer::DirectServers(const std::string& domain) {
    if (!sv_.options.smtpMx || !sv_.mx || domain.empty()) return {domain, "mail." + domain};
    platform::MxAnswer mx = sv_.mx->Lookup(domain);
    using Kind = platform::MxAnswer::Kind;
    switch (mx.kind) {
        case Kind::Found:
            return mx.hosts;
        case Kind::NullMx:
            sv_.log.Info("domain " + domain + " takes no mail (null MX): it is not tried");
            return {};
        case Kind::Failed:
            sv_.log.Warning("MX lookup for " + domain + " failed (" + mx.detail +
                            "); its address is tried as the mail server");
            return {domain};
        default:  // no MX, or no such domain: the domain's own address stands in
            return {domain};
    }
}

std::vector<Candidate> Mailer::Candidates(const std::string& domain) {
    const config::NodeConfig& cfg = sv_.cfg;
    const std::string& sender = st_.gSMTPSenderAddr;
    std::vector<Candidate> rows;
    if (!sv_.options.smtpRelayHost.empty()) {
        Candidate relay{sv_.options.smtpRelayHost, sender.empty() ? cfg.gVoxaFaxAddr : sender, {}};
        if (RelaySettings(relay.settings)) rows.push_back(std::move(relay));
        if (!sv_.options.smtpDirect) return rows;
    }
    DialogueSettings plain;
    plain.helo = sv_.options.smtpHelo;
    for (const std::string& server : DirectServers(domain)) rows.push_back({server, sender, plain});
    const std::pair<const std::string&, const std::string&> configured[] = {
        {cfg.gUserSMTPServer, cfg.gNormalEMailAddr},
        {cfg.gSMTPServer2, cfg.gNormalEMailAddr},
        {cfg.gUserSMTPServer, sender},
        {cfg.gSMTPServer2, sender},
        {cfg.gVFIPAddress, sender},
        {cfg.gVFSMTPSrvrName, sender},
        {cfg.gLastResortSMTPServer, sender},
    };
    for (const auto& [server, from] : configured) rows.push_back({server, from, plain});
    return rows;
}

bool Mailer::TryCandidate(const Candidate& c, std::size_t row) {
    st_.gSMTPServer = c.server;
    st_.gSMTPSenderAddr = c.sender;
    st_.settings = c.settings;
    attempts_ += c.server + " + " + c.sender + " , ";
    const std::string label = ServerLabel(c.server);
    sv_.log.Info("sending " + kind_ + " to " + st_.gSMTPRecipAddr + " via " + label +
                 ", waiting up to " + Span(DialogueDeadline(sv_)));
    SendEMail(form_, st_, sv_);
    const std::int32_t code = form_.gSMTP_Error;
    // A server that answered was asked about this message; one not reached
    // (or skipped as found unreachable before) was not.
    if (st_.SMTP_State != "SMTP_CallHost") askedAServer_ = true;
    tried_.emplace_back(code == net::kSmtpHostUnknown ? c.server : label, Reason(code));
    // A test whose own address is refused by its own domain's server has
    // its answer: no other server would make it arrive.
    if (st_.gflgTestSend && row == 0 && code == net::kSmtpRecipientRefused) return true;
    if (code == net::kSmtpOk) sentVia_ = label;
    return code == net::kSmtpOk;
}

bool Mailer::SendMessage(const std::string& type) {
    tried_.clear();
    attempts_.clear();
    anyCandidate_ = askedAServer_ = false;

    // "Name <addr>" or "<addr>" becomes "addr". Whatever else a message put
    // there goes into no command and no header: the message is not sent.
    std::string address, domain;
    if (ReduceRecipient(st_.gSMTPRecipAddr, address, recipientFault_)) st_.gSMTPRecipAddr = address;
    if (recipientFault_.empty()) {
        std::string before;
        convert::SplitAtFirst(st_.gSMTPRecipAddr, "@", before, domain);
    }
    // Mail to the service's own domain goes straight to its address when one
    // is configured.
    if (domain == config::kServiceMailDomain && !platform::TrimBlanks(sv_.cfg.gVFIPAddress).empty())
        domain = sv_.cfg.gVFIPAddress;

    form_.gTimerInterval = net::kTimerMinuteMs;
    net::CreateSocket(form_, form_.SMTPSocket(), "SMTP");

    bool sent = false;
    const std::vector<Candidate> rows =
        recipientFault_.empty() ? Candidates(domain) : std::vector<Candidate>{};
    for (std::size_t row = 0; row < rows.size() && !sent; ++row) {
        const Candidate& c = rows[row];
        if (c.server.empty() || c.sender.empty()) continue;
        if (const std::string why = AddressFault(c.sender); !why.empty()) {
            if (warnedSenders_.insert(c.sender).second)
                sv_.log.Warning("sender address " + Quoted(c.sender) + " is not used: " + why +
                                "; check Voxa_Fax_Addr and Normal_EMail_Addr in " +
                                sv_.profilePath);
            continue;
        }
        anyCandidate_ = true;
        const bool done = TryCandidate(c, row);
        sent = done && form_.gSMTP_Error == net::kSmtpOk;
        if (done && !sent) break;
    }
    st_.settings = DialogueSettings{};
    // last_error carries the bare code ("7" after a time-out), as the
    // scheduler reads it; the run log says it in words.
    if (!sent) sv_.run.gLastError = std::to_string(form_.gSMTP_Error);

    const std::string account = sv_.run.gAppPath + "/account.ini";
    auto& profile = sv_.profile;
    profile.WritePrivateProfileStringA("log", "Version", sv_.run.gFormCaption, account);
    profile.WritePrivateProfileStringA("log", "SMTP_Type", type + (sent ? "_OK" : "_NOT_OK"),
                                       account);
    profile.WritePrivateProfileStringA("log", "SMTP_Servers", attempts_, account);
    profile.WritePrivateProfileStringA("log", "SMTP_State", st_.gSMTPLog, account);
    return sent;
}

SmtpProbe Mailer::Probe(const std::string& recipient) {
    SmtpProbe p;
    const bool relay = !sv_.options.smtpRelayHost.empty();
    Candidate c{
        relay ? sv_.options.smtpRelayHost : sv_.cfg.gUserSMTPServer, sv_.cfg.gVoxaFaxAddr, {}};
    c.settings.helo = sv_.options.smtpHelo;
    if (relay && !RelaySettings(c.settings)) {
        p.server = "relay " + c.server;
        p.why = "no password for " + sv_.options.smtpUser;
        return p;
    }
    c.settings.probe = true;
    st_.gSMTPServer = c.server;
    st_.gSMTPSenderAddr = c.sender;
    st_.gSMTPRecipAddr = recipient;
    st_.settings = c.settings;
    p.server = (relay ? "relay " : "") + ServerLabel(c.server);
    form_.gTimerInterval = net::kTimerMinuteMs;
    net::CreateSocket(form_, form_.SMTPSocket(), "SMTP");
    p.ok = SendEMail(form_, st_, sv_);
    p.extensions = st_.extensions;
    p.startedTls = st_.tlsActive && !c.settings.implicitTls;
    p.loggedIn = st_.authenticated;
    if (!p.ok) p.why = Reason(form_.gSMTP_Error);
    st_.settings = DialogueSettings{};
    return p;
}

std::string Mailer::ComposeTestMessage() {
    return ComposeTestMessageText(st_.gSMTPRecipAddr, sv_.cfg, sv_.run, StampAt(sv_.wallNow()),
                                  sv_.options.smtpStandards);
}

void Mailer::SendTestVoxaFax() {
    st_.gSMTPSenderAddr = sv_.cfg.gVoxaFaxAddr;
    st_.gSMTPRecipAddr = sv_.cfg.gVoxaFaxAddr;
    st_.gflgTestSend = true;
    st_.gMessageBody = ComposeTestMessage();
    kind_ = "test message";
    const bool sent = SendMessage("Test_VOXA_FAX");
    sv_.profile.WriteProfileStringA(config::kSection, "test_server",
                                    sent ? st_.gSMTPServer : std::string());
    st_.gflgTestSend = false;
    if (sent) {
        sv_.log.Info("test message to " + st_.gSMTPRecipAddr + " sent via " + sentVia_);
        return;
    }
    sv_.run.NoteFailure(config::RunFailure::SendFailed);
    const bool relayOnly = !sv_.options.smtpRelayHost.empty() && !sv_.options.smtpDirect;
    if (!recipientFault_.empty()) {
        sv_.log.Error("test message not sent: Voxa_Fax_Addr " + Quoted(sv_.cfg.gVoxaFaxAddr) +
                      " is not a plain address (" + recipientFault_ + "); fix it in " +
                      sv_.profilePath);
        return;
    }
    sv_.log.Error(
        "test message to " + st_.gSMTPRecipAddr + " reached no SMTP server: " + Reasons() + " (" +
        LastErrorInWords() + "); check " +
        (relayOnly ? "[smtp] in " + sv_.optionsPath
                   : "User_SMTP_Server and the other SMTP servers in " + sv_.profilePath));
}

}  // namespace mailout
