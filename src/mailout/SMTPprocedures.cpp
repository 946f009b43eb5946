#include "mailout/SMTPprocedures.h"

#include <algorithm>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "mailout/SafeText.h"
#include "mailout/Services.h"
#include "mailout/SmtpConnection.h"
#include "mailout/SmtpReply.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace mailout {
namespace {

constexpr const char* kCrLf = "\r\n";

struct StepRow {
    SmtpStep step;
    const char* name;
};
constexpr StepRow kStepNames[] = {
    {SMTP_CallHost, "SMTP_CallHost"},
    {SMTP_OpenConnection, "SMTP_OpenConnection"},
    {SMTP_EHLO, "SMTP_EHLO"},
    {SMTP_STARTTLS, "SMTP_STARTTLS"},
    {SMTP_AUTH, "SMTP_AUTH"},
    {SMTP_HELO, "SMTP_HELO"},
    {SMTP_MAIL, "SMTP_MAIL"},
    {SMTP_RCPT, "SMTP_RCPT"},
    {SMTP_DATA, "SMTP_DATA"},
    {SMTP_QUIT, "SMTP_QUIT"},
    {SMTP_CONFIRM_QUIT, "SMTP_CONFIRM_QUIT"},
};

int PortOf(const MailoutState& st, const Services& sv) {
    return st.settings.port > 0 ? st.settings.port : sv.options.smtpPort;
}

// Hands `text` over whole; the dialogue is then idle until the reply. A
// connection that is already gone takes nothing, and is not waited on.
bool WriteOut(net::FrmMail& form, MailoutState& st, const std::string& text) {
    platform::Socket& sock = form.SMTPSocket();
    if (!sock.Connected() || !net::WriteOut(form, sock, text)) {
        st.writeFailed = true;
        return false;
    }
    st.gSMTPStep = SMTP_Idle;
    return true;
}

// Sends gOutCmd. The debug log shows `shown` in its place when the command
// carries a password.
bool SendCommand(net::FrmMail& form, MailoutState& st, const Services& sv,
                 const char* shown = nullptr) {
    if (sv.log.Enabled(platform::LogLevel::Debug))
        sv.log.Debug(Peer(st, sv) + " > " + (shown ? std::string(shown) + "\r\n" : st.gOutCmd));
    return WriteOut(form, st, st.gOutCmd);
}

std::string TrimSpaces(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// What the server said, quoted and cut for a log line.
std::string Said(const std::string& reply) {
    return "\"" + SessionLogReply(ReplyWords(reply)) + "\"";
}

// A wrong reply: the dialogue ends with `code`, politely where the step
// allows it (the caller sends the QUIT).
SmtpStep Refuse(net::FrmMail& form, MailoutState& st, std::int32_t code, std::string fault = "") {
    form.gSMTP_Error = code;
    if (!fault.empty()) st.fault = std::move(fault);
    st.gOutCmd = std::string("QUIT") + kCrLf;
    st.gSMTPStep = SMTP_QUIT;
    return SMTP_Idle;
}

SmtpStep Send(net::FrmMail& form, MailoutState& st, const Services& sv, std::string command,
              SmtpStep next, const char* shown = nullptr) {
    st.gOutCmd = std::move(command) + kCrLf;
    // A failed write leaves no error code here: the dialogue sees
    // writeFailed and ends.
    SendCommand(form, st, sv, shown);
    return next;
}

SmtpStep SendMailFrom(net::FrmMail& form, MailoutState& st, const Services& sv) {
    // The extended dialogue writes the paths as the standard has them; the
    // historical one keeps its blank after the colon.
    const char* sep = st.settings.extended ? "MAIL FROM:<" : "MAIL FROM: <";
    return Send(form, st, sv, sep + st.sender + ">", SMTP_MAIL);
}

SmtpStep OnGreeting(net::FrmMail& form, MailoutState& st, const Services& sv) {
    const std::string& reply = form.PortIn;
    if (ReplyCode(reply, st.settings.extended) != "220 ") {
        // Another protocol's greeting (a POP3 "+OK", an SSH banner) on the
        // port is named as such: waiting longer would change nothing.
        if (reply.size() < 3 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2]))
            st.fault = "greeted as no SMTP server does (" + Said(reply) +
                       "); check the port of the SMTP server";
        return Refuse(form, st, net::kSmtpServiceUnavailable);
    }
    const std::string name = st.settings.helo.empty() ? st.gSMTPServer : st.settings.helo;
    if (st.settings.extended) return Send(form, st, sv, "EHLO " + name, SMTP_EHLO);
    return Send(form, st, sv, "HELO " + name, SMTP_HELO);
}

// The mechanism to log in with: the one asked for, else PLAIN, else LOGIN.
// "" when the server offers none of them (`fault` then says so).
std::string ChooseMechanism(const MailoutState& st, std::string& fault) {
    const std::vector<std::string> offered = AuthMechanisms(st.extensions);
    auto has = [&](const std::string& m) {
        return std::find(offered.begin(), offered.end(), m) != offered.end();
    };
    std::string list;
    for (const auto& m : offered) list += (list.empty() ? "" : " ") + m;
    const std::string wanted = st.settings.mechanism;
    if (!wanted.empty() && has(wanted)) return wanted;
    if (wanted.empty() && has("PLAIN")) return "PLAIN";
    if (wanted.empty() && has("LOGIN")) return "LOGIN";
    fault = offered.empty() ? "offers no login (AUTH); check [smtp] relay and port"
                            : "offers AUTH " + list + (wanted.empty() ? "" : ", not " + wanted) +
                                  "; set [smtp] auth to one of them";
    return "";
}

SmtpStep StartAuth(net::FrmMail& form, MailoutState& st, const Services& sv) {
    // A password never crosses the network in clear, whatever the server
    // offers.
    if (!st.tlsActive)
        return Refuse(form, st, net::kSmtpServiceUnavailable,
                      "offers no login over TLS, and the password is never sent in clear; "
                      "set [smtp] starttls = yes, or a relay port with TLS");
    std::string fault;
    const std::string mech = ChooseMechanism(st, fault);
    if (mech.empty()) return Refuse(form, st, net::kSmtpServiceUnavailable, fault);
    st.settings.mechanism = mech;
    st.authRound = 1;
    const DialogueSettings& s = st.settings;
    if (mech == "PLAIN")
        return Send(form, st, sv,
                    "AUTH PLAIN " + Base64(std::string(1, '\0') + s.user + '\0' + s.password),
                    SMTP_AUTH, "AUTH PLAIN (credentials)");
    if (mech == "XOAUTH2")
        return Send(form, st, sv,
                    "AUTH XOAUTH2 " + Base64("user=" + s.user + "\x01" + "auth=Bearer " +
                                             s.password + "\x01\x01"),
                    SMTP_AUTH, "AUTH XOAUTH2 (token)");
    return Send(form, st, sv, "AUTH LOGIN", SMTP_AUTH);
}

// What comes after the greeting's extensions are known (and, where asked
// for, after STARTTLS): the login, else the envelope.
SmtpStep AfterExtensions(net::FrmMail& form, MailoutState& st, const Services& sv) {
    if (!st.settings.user.empty()) return StartAuth(form, st, sv);
    return SendMailFrom(form, st, sv);
}

SmtpStep OnEhlo(net::FrmMail& form, MailoutState& st, const Services& sv) {
    const std::string& reply = form.PortIn;
    if (ReplyCode(reply, true) != "250 ") {
        // A server that knows no EHLO may still take HELO, if nothing more
        // than HELO offers is needed.
        if (reply.starts_with("5") && !st.settings.starttls && st.settings.user.empty()) {
            const std::string name = st.settings.helo.empty() ? st.gSMTPServer : st.settings.helo;
            return Send(form, st, sv, "HELO " + name, SMTP_HELO);
        }
        return Refuse(form, st, net::kSmtpServiceUnavailable,
                      "refused EHLO: " + Said(reply) + "; check [smtp] helo");
    }
    st.extensions = ExtensionsOf(reply);
    if (st.settings.starttls && !st.tlsActive) {
        if (!Offers(st.extensions, "STARTTLS"))
            return Refuse(
                form, st, net::kSmtpServiceUnavailable,
                "does not offer STARTTLS, and nothing goes in clear with [smtp] "
                "starttls = yes; use its port with TLS (tls = yes) or check [smtp] relay");
        return Send(form, st, sv, "STARTTLS", SMTP_STARTTLS);
    }
    return AfterExtensions(form, st, sv);
}

SmtpStep OnStartTls(net::FrmMail& form, MailoutState& st, const Services& sv) {
    if (ReplyCode(form.PortIn, true) != "220 ")
        return Refuse(form, st, net::kSmtpServiceUnavailable,
                      "refused STARTTLS: " + Said(form.PortIn));
    if (!StartTlsNow(form, st, sv)) return SMTP_Idle;
    // What the server said before TLS counts for nothing now: ask again.
    st.extensions.clear();
    const std::string name = st.settings.helo.empty() ? st.gSMTPServer : st.settings.helo;
    return Send(form, st, sv, "EHLO " + name, SMTP_EHLO);
}

SmtpStep OnAuth(net::FrmMail& form, MailoutState& st, const Services& sv) {
    const std::string code = ReplyCode(form.PortIn, true);
    const DialogueSettings& s = st.settings;
    if (code == "235 ") {
        st.authenticated = true;
        return SendMailFrom(form, st, sv);
    }
    if (code == "334 " && s.mechanism == "LOGIN" && st.authRound < 3) {
        ++st.authRound;
        if (st.authRound == 2) return Send(form, st, sv, Base64(s.user), SMTP_AUTH);
        return Send(form, st, sv, Base64(s.password), SMTP_AUTH, "(password)");
    }
    if (code == "334 " && s.mechanism == "XOAUTH2" && st.authRound == 1) {
        // The server's reasons come as a challenge; an empty answer ends
        // the exchange with its refusal.
        ++st.authRound;
        st.fault = "refused the token of " + s.user + ": \"" +
                   SessionLogReply(FromBase64(ReplyWords(form.PortIn))) +
                   "\"; check [smtp] user and password_command";
        return Send(form, st, sv, "", SMTP_AUTH);
    }
    std::string fault = st.fault;
    if (fault.empty())
        fault = "refused the login of " + s.user + ": " + Said(form.PortIn) +
                "; check [smtp] user and the password (password_command, password_file or "
                "Password)";
    return Refuse(form, st, net::kSmtpServiceUnavailable, fault);
}

SmtpStep OnMail(net::FrmMail& form, MailoutState& st, const Services& sv) {
    const std::string& reply = form.PortIn;
    if (ReplyCode(reply, st.settings.extended) == "250 ")
        return Send(form, st, sv,
                    (st.settings.extended ? "RCPT TO:<" : "RCPT TO: <") + st.gSMTPRecipAddr + ">",
                    SMTP_RCPT);
    // A provider lets a login send only as itself: the login's own address
    // then stands in for the subscriber's.
    const std::string& other = st.settings.fallbackSender;
    if (reply.starts_with("5") && !other.empty() && st.sender != other) {
        sv.log.Info(Peer(st, sv) + " refused the sender " + st.sender + " (" + Said(reply) +
                    "); the login's own address " + other + " is used instead");
        st.sender = other;
        return SendMailFrom(form, st, sv);
    }
    return Refuse(form, st, net::kSmtpServiceUnavailable);
}

SmtpStep Judge(net::FrmMail& form, MailoutState& st, const Services& sv, const char* want,
               std::int32_t failCode, std::string command, SmtpStep next) {
    if (ReplyCode(form.PortIn, st.settings.extended) != want) return Refuse(form, st, failCode);
    return Send(form, st, sv, std::move(command), next);
}

}  // namespace

std::string Peer(const MailoutState& st, const Services& sv) {
    return "smtp " + st.gSMTPServer + ":" + std::to_string(PortOf(st, sv));
}

const char* StepName(std::int16_t step) {
    for (const StepRow& row : kStepNames)
        if (row.step == step) return row.name;
    return "SMTP_Idle";
}

SmtpStep SMTP_Process(net::FrmMail& form, MailoutState& st, const Services& sv) {
    form.gSMTP_Error = net::kSmtpOk;
    st.writeFailed = false;
    switch (st.gSMTPStep) {
        case SMTP_CallHost:
            return CallHost(form, st, sv);
        case SMTP_OpenConnection:
            return OnGreeting(form, st, sv);
        case SMTP_EHLO:
            return OnEhlo(form, st, sv);
        case SMTP_STARTTLS:
            return OnStartTls(form, st, sv);
        case SMTP_AUTH:
            return OnAuth(form, st, sv);
        case SMTP_HELO:
            if (ReplyCode(form.PortIn, false) != "250 ")
                return Refuse(form, st, net::kSmtpServiceUnavailable);
            return SendMailFrom(form, st, sv);
        case SMTP_MAIL:
            return OnMail(form, st, sv);
        case SMTP_RCPT:
            if (st.settings.probe)
                return Judge(form, st, sv, "250 ", net::kSmtpRecipientRefused, "RSET", SMTP_QUIT);
            return Judge(form, st, sv, "250 ", net::kSmtpRecipientRefused, "DATA", SMTP_DATA);
        case SMTP_DATA:
            if (ReplyCode(form.PortIn, st.settings.extended) != "354 ")
                return Refuse(form, st, net::kSmtpDataRefused);
            SMTPWriteBlock(form, st, sv);
            return SMTP_QUIT;
        case SMTP_QUIT:
            if (ReplyCode(form.PortIn, st.settings.extended) != "250 ") {
                form.gSMTP_Error = net::kSmtpNotConfirmed;
                st.gSMTPStep = SMTP_Idle;
                return SMTP_Idle;
            }
            return Send(form, st, sv, "QUIT", SMTP_CONFIRM_QUIT);
        case SMTP_CONFIRM_QUIT:
            if (ReplyCode(form.PortIn, st.settings.extended) == "221 ")
                net::CloseConnection(form);
            else
                form.gSMTP_Error = net::kSmtpNotConfirmed;
            st.gSMTPStep = SMTP_Idle;
            return SMTP_Idle;
        default:
            return SMTP_Idle;
    }
}

// The message is kept as composed (and as queued in Out/); only what goes on
// the wire is dot-stuffed and has its line ends made CR LF, so that no line
// of it can end the transfer early and no bare CR or LF reaches the server.
bool SMTPWriteBlock(net::FrmMail& form, MailoutState& st, const Services& sv) {
    const std::string end = kEndOfData;
    const std::string& body = st.gMessageBody;
    if (body.size() < end.size() || body.compare(body.size() - end.size(), end.size(), end) != 0)
        st.gMessageBody += end;
    const std::string wire = DataForWire(st.gMessageBody);
    if (sv.log.Enabled(platform::LogLevel::Debug))
        sv.log.Debug(Peer(st, sv) + " > (the message, " + std::to_string(wire.size()) + " bytes)");
    for (std::size_t p = 0; p < wire.size(); p += 256) {
        sv.loop.Yield();
        st.gOutCmd = wire.substr(p, 256);
        // A block that cannot be written ends the transfer: the rest would
        // only wait on a connection that takes nothing.
        if (!WriteOut(form, st, st.gOutCmd) || st.deadlinePassed) {
            st.writeFailed = true;
            return false;
        }
    }
    st.gSMTPStep = SMTP_Idle;
    return true;
}

std::string GetSMTPErrorMessage(const net::FrmMail& form, std::int32_t code) {
    const net::SmtpOutcomeText* t = net::FindSmtpOutcome(code);
    // A disconnect and the socket's own codes are told in the socket's words.
    if (!t || code == net::kSmtpDisconnected) return form.gSMTPSocketErrorString;
    if (code == net::kSmtpRecipientRefused || code == net::kSmtpDataRefused)
        return t->historical +
               TrimSpaces(form.gInBuffer.size() > 4 ? form.gInBuffer.substr(4) : std::string());
    return t->historical;
}

platform::Millis ReplyWaitLimit(const Services& sv) {
    return sv.tick * std::max(sv.cfg.gTimoutMinutes, 1);
}

platform::Millis DialogueDeadline(const Services& sv) {
    const int ticks = sv.options.smtpDialogueMinutes > 0 ? sv.options.smtpDialogueMinutes
                                                         : std::max(sv.cfg.gTimoutMinutes, 1) + 1;
    return sv.tick * ticks;
}

}  // namespace mailout
