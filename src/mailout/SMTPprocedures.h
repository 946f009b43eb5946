#pragma once
// The SMTP client: one dialogue delivers st.gMessageBody from
// st.gSMTPSenderAddr to st.gSMTPRecipAddr through st.gSMTPServer. The outcome
// is form.gSMTP_Error: a net::SmtpOutcome (kSmtpOk = sent) or the socket's
// own error code.
//
// The dialogue is a state table. Each step judges the reply to the command
// it is named after and sends the next one (SMTP_HELO judges the reply to
// HELO and sends MAIL FROM); SMTP_Process is the one switch that does it.
// By default it is the historical dialogue, byte for byte: HELO with the
// server's name, "MAIL FROM: <...>", single-line replies only. A submission
// server (a relay with `extended` set) gets EHLO and the extensions it
// advertises: STARTTLS, then AUTH over TLS only.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/Clock.h"

namespace net {
class FrmMail;
}

namespace mailout {

struct Services;

enum SmtpStep : std::int16_t {
    SMTP_Idle = 10,
    SMTP_CallHost = 1500,
    SMTP_OpenConnection = 1100,
    SMTP_EHLO = 1102,
    SMTP_STARTTLS = 1104,
    SMTP_AUTH = 1106,
    SMTP_HELO = 1110,
    SMTP_MAIL = 1120,
    SMTP_RCPT = 1200,
    SMTP_DATA = 1300,
    SMTP_QUIT = 1400,  // judges the reply to the end of the message, sends QUIT
    SMTP_CONFIRM_QUIT = 1450,
};

// The step's name as the session log gives it.
const char* StepName(std::int16_t step);

// How one dialogue talks to its server beyond the historical HELO dialogue.
struct DialogueSettings {
    int port = 0;              // 0: the [smtp] port (or $VOXAFAX_SMTP_PORT)
    bool implicitTls = false;  // connect with TLS (only with a port of its own)
    bool extended = false;     // EHLO, multi-line replies, the server's extensions
    bool starttls = false;     // refuse to go on without STARTTLS
    std::string helo;          // the greeting's name; "": the server's own name
    std::string user;          // AUTH with this login ("": none)
    std::string password;      // its password or OAuth 2.0 access token
    std::string mechanism;     // "PLAIN", "LOGIN", "XOAUTH2"; "": the best offered
    // The envelope sender to use instead when the server refuses the
    // subscriber's ("": none).
    std::string fallbackSender;
    // A probe (setup and check): after RCPT TO is taken, RSET and QUIT;
    // no DATA, nothing is sent.
    bool probe = false;
};

// The SMTP side's state, kept for the whole run.
struct MailoutState {
    std::string gSMTPServer;
    std::string gSMTPSenderAddr;
    std::string gSMTPRecipAddr;
    std::string gMessageBody;
    std::string gSMTPLog;  // grows through the run
    std::int16_t gSMTPStep = SMTP_Idle;
    std::string SMTP_State;
    std::string gOutCmd;
    bool gflgTestSend = false;

    DialogueSettings settings;  // for the next dialogue; reset by SendMessage

    // How the latest dialogue went, for the run log: the reply in hand when
    // it ended (one line), what the program found wrong beyond a reply code
    // and what to change (""), whether its deadline cut it short, and
    // whether a command or the message could not be written.
    std::string lastReply;
    std::string fault;
    bool deadlinePassed = false;
    bool writeFailed = false;
    // Called the moment the server has taken the message (its end answered
    // with 250), before the QUIT.
    std::function<void()> onAccepted;

    // Servers that could not be found or reached, or stayed silent, in this
    // run ("host NAME" or "ADDRESS:PORT"), with the code and the socket's
    // words they ended with: asked again under any name, they fail at once
    // the same way instead of being waited on again.
    struct Silence {
        std::int32_t code = 0;
        std::string words;
    };
    std::map<std::string, Silence> silent;

    // Within one dialogue: the extensions the server advertised (its EHLO
    // reply, upper case), whether the connection is under TLS, and how far
    // the login got.
    std::string extensions;
    bool tlsActive = false;
    int authRound = 0;
    bool authenticated = false;  // the server accepted the login
    std::string sender;          // the envelope sender used in this dialogue
};

// Runs the whole dialogue; true when the server took the message (its end
// of data answered with 250), whatever becomes of the QUIT after it. The
// whole dialogue ends at DialogueDeadline at the latest (code kSmtpTimedOut).
bool SendEMail(net::FrmMail& form, MailoutState& st, const Services& sv);
// One step on the reply in PortIn; returns the step that judges the reply to
// what it sent, or SMTP_Idle when nothing was sent (the dialogue is over, or
// gSMTP_Error says why it must end).
SmtpStep SMTP_Process(net::FrmMail& form, MailoutState& st, const Services& sv);
// Sends the message, dot-stuffed and with CR LF line ends, in blocks of 256
// characters; false when a block could not be written (the rest is not
// offered).
bool SMTPWriteBlock(net::FrmMail& form, MailoutState& st, const Services& sv);
std::string GetSMTPErrorMessage(const net::FrmMail& form, std::int32_t code);

// How long one reply wait and one whole dialogue may last.
platform::Millis ReplyWaitLimit(const Services& sv);
platform::Millis DialogueDeadline(const Services& sv);

// The end-of-data marker every message must end with.
inline constexpr const char* kEndOfData = "\r\n\r\n.\r\n";

}  // namespace mailout
