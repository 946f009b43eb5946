#include "mailout/SMTPprocedures.h"

#include "config/Context.h"
#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/EventLoop.h"

namespace mailout {
namespace {

// A command handed over whole leaves the dialogue idle until its reply.
bool WriteOut(net::FrmMail& form, MailoutState& st, platform::Socket& sock,
              const std::string& text) {
    if (!net::WriteOut(form, sock, text)) return false;
    st.gSMTPStep = SMTP_Idle;
    return true;
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

// The reply as it goes into the session log: one line of bounded length, so
// that a server answering with megabytes or line breaks cannot bloat or break
// account.ini.
std::string LogText(const std::string& reply) {
    constexpr std::size_t kMax = 200;
    std::string out;
    for (std::size_t i = 0; i < reply.size() && out.size() < kMax; ++i) {
        unsigned char c = static_cast<unsigned char>(reply[i]);
        out.push_back(c < 32 || c == 127 ? ' ' : static_cast<char>(c));
    }
    return TrimSpaces(out);
}

// The reply judged in each step: the first four characters of the latest
// arrival. A multi-line reply ("250-...") is therefore a wrong reply.
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
            // A failed write leaves no error: the reply wait that follows runs
            // out and reports kSmtpTimedOut.
            st.gOutCmd = NextCommand(st, st.gSMTPStep);
            WriteOut(form, st, sock, st.gOutCmd);
            return;
        }
        case SMTP_QUIT:
            if (code == "250 ") {
                st.gOutCmd = "QUIT\r\n";
                WriteOut(form, st, sock, st.gOutCmd);
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

// The message goes out as composed and queued in Out/, without dot-stuffing,
// given only its end-of-data line when it lacks one. FIXME: a receipt that
// quotes a text holding a line of a lone "." ends early at the server.
bool SMTPWriteBlock(net::FrmMail& form, MailoutState& st) {
    const std::string end = kEndOfData;
    const std::string& body = st.gMessageBody;
    if (body.size() < end.size() || body.compare(body.size() - end.size(), end.size(), end) != 0)
        st.gMessageBody += end;
    const std::size_t total = st.gMessageBody.size();
    std::size_t p = 0;
    for (;;) {
        form.ctx().loop.Yield();
        if (p + 256 >= total) {
            st.gOutCmd = st.gMessageBody.substr(p);
            WriteOut(form, st, form.SMTPSocket(), st.gOutCmd);
            break;
        }
        st.gOutCmd = st.gMessageBody.substr(p, 256);
        WriteOut(form, st, form.SMTPSocket(), st.gOutCmd);
        p += 256;
        if (p == total) break;
    }
    st.gSMTPStep = SMTP_Idle;
    return true;
}

std::string GetSMTPErrorMessage(const net::FrmMail& form, std::int32_t code) {
    switch (code) {
        case net::kSmtpOk:
            return "Alles OK";
        case net::kSmtpServiceUnavailable:
            return "SMTP Service Unavailable on the server - ";
        case net::kSmtpRecipientRefused:
        case net::kSmtpDataRefused:
            return "The SMTP server replied - " +
                   TrimSpaces(form.gInBuffer.size() > 4 ? form.gInBuffer.substr(4) : std::string());
        case net::kSmtpNotConfirmed:
            return "Mail Command Syntax Error";
        case net::kSmtpHostUnknown:
            return "Unable to obtain an Internet Address for the server - ";
        case net::kSmtpConnectFailed:
            return "Unable to connect to the server - ";
        case net::kSmtpTimedOut:
            return "The connection timed out";
        default:  // kSmtpDisconnected ("Server Disconnected") or the socket's own code
            return form.gSMTPSocketErrorString;
    }
}

bool SendEMail(net::FrmMail& form, MailoutState& st) {
    bool result = false;
    std::int32_t remembered = net::kSmtpOk;
    bool politeQuit = false;

    // Waits for the reply to what was just sent; false on time-out.
    auto awaitReply = [&] {
        form.gSocketState = net::kSockAwaitReply;
        return !net::SMTPTimout(form, net::kSockIdle);
    };

    auto dialogue = [&]() -> bool {
        SetStep(st, SMTP_CallHost);
        SMTP_Process(form, st);
        if (form.gSMTP_Error != net::kSmtpOk) return false;
        if (net::SMTPTimout(form, net::kSockIdle)) return false;

        SetStep(st, SMTP_OpenConnection);
        SMTP_Process(form, st);
        if (form.gSMTP_Error != net::kSmtpOk) return false;  // a wrong greeting gets no QUIT
        if (!awaitReply()) return false;

        for (std::int16_t step : {SMTP_HELO, SMTP_MAIL, SMTP_RCPT, SMTP_DATA}) {
            SetStep(st, step);
            SMTP_Process(form, st);
            if (form.gSMTP_Error != net::kSmtpOk) {
                politeQuit = true;
                break;
            }
            if (!awaitReply()) return false;
        }
        if (politeQuit) {
            // Say goodbye properly, and end with the code of the step that
            // failed rather than that of the QUIT.
            st.gOutCmd = "QUIT\r\n";
            if (!WriteOut(form, st, form.SMTPSocket(), st.gOutCmd)) return false;
            remembered = form.gSMTP_Error;
        } else {
            SetStep(st, SMTP_QUIT);
            SMTP_Process(form, st);
            if (form.gSMTP_Error != net::kSmtpOk) return false;
        }
        if (!awaitReply()) return false;
        SetStep(st, SMTP_CONFIRM_QUIT);
        SMTP_Process(form, st);
        form.gSocketState = net::kSockAwaitReply;
        if (politeQuit) form.gSMTP_Error = remembered;
        return form.gSMTP_Error == net::kSmtpOk;
    };

    result = dialogue();
    st.gSMTPLog += st.SMTP_State + " + " + LogText(form.PortIn) + " + " +
                   LogText(GetSMTPErrorMessage(form, form.gSMTP_Error)) + ", ";
    form.PortIn.clear();
    if (form.SMTPSocket().Connected()) net::CloseConnection(form);
    return result;
}

}  // namespace mailout
