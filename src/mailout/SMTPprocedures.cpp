#include "mailout/SMTPprocedures.h"

#include <algorithm>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "mailout/Mailer.h"
#include "mailout/SafeText.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "config/Options.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace mailout {
namespace {

// The server as the debug log names it.
std::string Peer(net::FrmMail& form, const MailoutState& st) {
    return "smtp " + st.gSMTPServer + ":" + std::to_string(form.ctx().options.smtpPort);
}

// Hands `text` over whole; the dialogue is then idle until the reply. A
// connection that is already gone takes nothing, and is not waited on.
bool WriteOut(net::FrmMail& form, MailoutState& st, platform::Socket& sock,
              const std::string& text) {
    if (!sock.Connected() || !net::WriteOut(form, sock, text)) {
        st.writeFailed = true;
        return false;
    }
    st.gSMTPStep = SMTP_Idle;
    return true;
}

bool SendCommand(net::FrmMail& form, MailoutState& st, const std::string& command) {
    platform::Log& log = form.ctx().log;
    if (log.Enabled(platform::LogLevel::Debug)) log.Debug(Peer(form, st) + " > " + command);
    return WriteOut(form, st, form.SMTPSocket(), command);
}

const char* StepName(std::int16_t step) {
    switch (step) {
        case SMTP_CallHost:
            return "SMTP_CallHost";
        case SMTP_OpenConnection:
            return "SMTP_OpenConnection";
        case SMTP_HELO:
            return "SMTP_HELO";
        case SMTP_MAIL:
            return "SMTP_MAIL";
        case SMTP_RCPT:
            return "SMTP_RCPT";
        case SMTP_DATA:
            return "SMTP_DATA";
        case SMTP_QUIT:
            return "SMTP_QUIT";
        case SMTP_CONFIRM_QUIT:
            return "SMTP_CONFIRM_QUIT";
        default:
            return "SMTP_Idle";
    }
}

void SetStep(MailoutState& st, std::int16_t step) {
    st.gSMTPStep = step;
    st.SMTP_State = StepName(step);
}

std::string TrimSpaces(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// Texts as they go into the session log: one line of bounded length, so
// that a server answering with megabytes or line breaks cannot bloat or break
// account.ini. In a reply every control character becomes a blank and the
// blanks around go; an error text loses only its line ends, and keeps the
// blank its words end in.
constexpr std::size_t kLogTextMax = 200;

std::string LogText(const std::string& reply) {
    return TrimSpaces(platform::OneLine(reply, kLogTextMax));
}

std::string ErrorText(const std::string& text) {
    return platform::OneLine(platform::Trim(text, "\r\n"), kLogTextMax);
}

// The reply judged in each step: the first four characters of the whole
// reply in PortIn. A multi-line reply ("250-...") is therefore a wrong reply.
std::string ReplyCode(const net::FrmMail& form) {
    return form.PortIn.substr(0, 4);
}

// The command each step sends when the reply to the previous one is right.
struct StepRule {
    const char* want;
    net::SmtpOutcome failCode;
};

StepRule RuleFor(std::int16_t step) {
    switch (step) {
        case SMTP_OpenConnection:
            return {"220 ", net::kSmtpServiceUnavailable};
        case SMTP_HELO:
            return {"250 ", net::kSmtpServiceUnavailable};
        case SMTP_MAIL:
            return {"250 ", net::kSmtpServiceUnavailable};
        case SMTP_RCPT:
            return {"250 ", net::kSmtpRecipientRefused};
        case SMTP_DATA:
            return {"354 ", net::kSmtpDataRefused};
        default:
            return {"", net::kSmtpOk};
    }
}

std::string NextCommand(const MailoutState& st, std::int16_t step) {
    switch (step) {
        case SMTP_OpenConnection:
            return "HELO " + st.gSMTPServer + "\r\n";
        case SMTP_HELO:
            return "MAIL FROM: <" + st.gSMTPSenderAddr + ">\r\n";
        case SMTP_MAIL:
            return "RCPT TO: <" + st.gSMTPRecipAddr + ">\r\n";
        case SMTP_RCPT:
            return "DATA\r\n";
        default:
            return "";
    }
}

}  // namespace

void SMTP_Process(net::FrmMail& form, MailoutState& st) {
    form.gSMTP_Error = net::kSmtpOk;
    st.writeFailed = false;
    const std::string code = ReplyCode(form);
    platform::Socket& sock = form.SMTPSocket();
    switch (st.gSMTPStep) {
        case SMTP_CallHost:
            if (!net::GetHostIPAddress(form, sock, st.gSMTPServer, "SMTP")) {
                form.gSMTP_Error = net::kSmtpHostUnknown;
                return;
            }
            // The lookup left the socket idle: this wait only yields once.
            if (net::SMTPTimout(form, net::kSockIdle)) return;
            form.gSMTP_Error = net::kSmtpOk;
            net::OpenConnection(form, sock, net::kSmtpSide);
            if (form.gSMTP_Error != net::kSmtpOk) return;
            st.gSMTPStep = SMTP_Idle;
            return;
        case SMTP_OpenConnection:
        case SMTP_HELO:
        case SMTP_MAIL:
        case SMTP_RCPT:
        case SMTP_DATA: {
            const StepRule rule = RuleFor(st.gSMTPStep);
            if (code != rule.want) {
                form.gSMTP_Error = rule.failCode;
                st.gOutCmd = "QUIT\r\n";
                st.gSMTPStep = SMTP_QUIT;
                return;
            }
            if (st.gSMTPStep == SMTP_DATA) {
                SMTPWriteBlock(form, st);
                return;
            }
            // A failed write leaves no error code here: the dialogue sees
            // writeFailed and ends.
            st.gOutCmd = NextCommand(st, st.gSMTPStep);
            SendCommand(form, st, st.gOutCmd);
            return;
        }
        case SMTP_QUIT:
            if (code == "250 ") {
                st.gOutCmd = "QUIT\r\n";
                SendCommand(form, st, st.gOutCmd);
            } else {
                form.gSMTP_Error = net::kSmtpNotConfirmed;
                st.gSMTPStep = SMTP_Idle;
            }
            return;
        case SMTP_CONFIRM_QUIT:
            if (code == "221 ")
                net::CloseConnection(form);
            else
                form.gSMTP_Error = net::kSmtpNotConfirmed;
            st.gSMTPStep = SMTP_Idle;
            return;
        default:
            return;
    }
}

// The message is kept as composed (and as queued in Out/); only what goes on
// the wire is dot-stuffed and has its line ends made CR LF, so that no line
// of it can end the transfer early and no bare CR or LF reaches the server.
bool SMTPWriteBlock(net::FrmMail& form, MailoutState& st) {
    const std::string end = kEndOfData;
    const std::string& body = st.gMessageBody;
    if (body.size() < end.size() || body.compare(body.size() - end.size(), end.size(), end) != 0)
        st.gMessageBody += end;
    const std::string wire = DataForWire(st.gMessageBody);
    platform::Log& log = form.ctx().log;
    if (log.Enabled(platform::LogLevel::Debug))
        log.Debug(Peer(form, st) + " > (the message, " + std::to_string(wire.size()) + " bytes)");
    for (std::size_t p = 0; p < wire.size(); p += 256) {
        form.ctx().loop.Yield();
        st.gOutCmd = wire.substr(p, 256);
        // A block that cannot be written ends the transfer: the rest would
        // only wait on a connection that takes nothing.
        if (!WriteOut(form, st, form.SMTPSocket(), st.gOutCmd) || st.deadlinePassed) {
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

platform::Millis ReplyWaitLimit(net::FrmMail& form) {
    const auto& ctx = form.ctx();
    return ctx.env.tick * std::max(ctx.cfg.gTimoutMinutes, 1);
}

platform::Millis DialogueDeadline(net::FrmMail& form) {
    const auto& ctx = form.ctx();
    const int ticks = ctx.options.smtpDialogueMinutes > 0 ? ctx.options.smtpDialogueMinutes
                                                          : std::max(ctx.cfg.gTimoutMinutes, 1) + 1;
    return ctx.env.tick * ticks;
}

bool SendEMail(net::FrmMail& form, MailoutState& st) {
    platform::EventLoop& loop = form.ctx().loop;
    platform::Log& log = form.ctx().log;
    std::int32_t remembered = net::kSmtpOk;
    bool politeQuit = false;
    bool accepted = false;  // the server answered the end of the message with 250
    std::string refusal;    // the reply that made a step fail
    form.gSMTPSocketError = 0;
    form.gSMTPSocketErrorString.clear();
    st.deadlinePassed = false;
    st.writeFailed = false;

    // Each wait allows its ticks, but the whole dialogue has a deadline too:
    // a server that answers every command just before a wait runs out must
    // not hold one message for many ticks.
    const platform::TimerId deadline = loop.After(DialogueDeadline(form), [&] {
        st.deadlinePassed = true;
        form.gSMTP_Error = net::kSmtpTimedOut;
    });

    // Waits for the reply to what was just sent. False when the dialogue is
    // over: the wait ran out, the deadline passed, or the server went away
    // or failed without replying (its own code then, at once: the reply of
    // the step before is not judged again, nor anything written to a
    // connection that is gone).
    auto awaitReply = [&] {
        form.gSocketState = net::kSockAwaitReply;
        if (net::SMTPTimout(form, net::kSockIdle)) return false;
        if (st.deadlinePassed) {
            form.gSMTP_Error = net::kSmtpTimedOut;
            return false;
        }
        if (form.gSocketState != net::kSockIdle && form.gSMTP_Error != net::kSmtpOk) return false;
        if (log.Enabled(platform::LogLevel::Debug))
            log.Debug(Peer(form, st) + " < " + LogText(form.PortIn));
        return true;
    };
    // After a step that writes: false when what it had to send could not be
    // written. The connection is gone (its own code, or -1) or takes nothing
    // (as a wait that runs out).
    auto written = [&] {
        if (st.deadlinePassed) {
            form.gSMTP_Error = net::kSmtpTimedOut;
            return false;
        }
        if (!st.writeFailed) return true;
        if (form.SMTPSocket().Connected())
            form.gSMTP_Error = net::kSmtpTimedOut;
        else
            form.gSMTP_Error =
                form.gSMTPSocketError != 0 ? form.gSMTPSocketError : net::kSmtpDisconnected;
        return false;
    };

    auto dialogue = [&]() -> bool {
        SetStep(st, SMTP_CallHost);
        SMTP_Process(form, st);
        if (st.deadlinePassed) form.gSMTP_Error = net::kSmtpTimedOut;
        if (form.gSMTP_Error != net::kSmtpOk) return false;
        if (net::SMTPTimout(form, net::kSockIdle)) return false;

        SetStep(st, SMTP_OpenConnection);
        SMTP_Process(form, st);
        if (form.gSMTP_Error != net::kSmtpOk) return false;  // a wrong greeting gets no QUIT
        if (!written() || !awaitReply()) return false;

        for (std::int16_t step : {SMTP_HELO, SMTP_MAIL, SMTP_RCPT, SMTP_DATA}) {
            SetStep(st, step);
            SMTP_Process(form, st);
            if (form.gSMTP_Error != net::kSmtpOk) {
                politeQuit = true;
                refusal = LogText(form.PortIn);
                break;
            }
            if (!written() || !awaitReply()) return false;
        }
        if (politeQuit) {
            // Say goodbye properly, and end with the code of the step that
            // failed rather than that of the QUIT.
            remembered = form.gSMTP_Error;
            st.gOutCmd = "QUIT\r\n";
            if (!SendCommand(form, st, st.gOutCmd)) return false;
            if (!awaitReply()) {
                // Only a wait that ran out says more than the refusal did.
                if (form.gSMTP_Error != net::kSmtpTimedOut) form.gSMTP_Error = remembered;
                return false;
            }
        } else {
            SetStep(st, SMTP_QUIT);
            SMTP_Process(form, st);
            if (form.gSMTP_Error != net::kSmtpOk) return false;
            // The server has the message. Whatever happens to the QUIT, it
            // must not be sent again through another server.
            accepted = true;
            if (st.onAccepted) st.onAccepted();
            if (!written() || !awaitReply()) return false;
        }
        SetStep(st, SMTP_CONFIRM_QUIT);
        SMTP_Process(form, st);
        form.gSocketState = net::kSockAwaitReply;
        if (politeQuit) form.gSMTP_Error = remembered;
        return form.gSMTP_Error == net::kSmtpOk;
    };

    bool result = dialogue();
    loop.Cancel(deadline);
    if (accepted) {
        form.gSMTP_Error = net::kSmtpOk;
        result = true;
    }
    // A connection that failed before anything arrived is told by the
    // socket's own words (refused, certificate not trusted, ...).
    const std::string reply = form.PortIn.empty() && !form.gSMTPSocketErrorString.empty()
                                  ? LogText(form.gSMTPSocketErrorString)
                                  : LogText(form.PortIn);
    st.lastReply = politeQuit ? refusal : reply;
    st.gSMTPLog += st.SMTP_State + " + " + reply + " + " +
                   ErrorText(GetSMTPErrorMessage(form, form.gSMTP_Error)) + ", ";
    form.PortIn.clear();
    if (form.SMTPSocket().Connected()) net::CloseConnection(form);
    return result;
}

}  // namespace mailout
