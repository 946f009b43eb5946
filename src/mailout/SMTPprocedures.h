#pragma once
// The SMTP client: one dialogue delivers st.gMessageBody from
// st.gSMTPSenderAddr to st.gSMTPRecipAddr through st.gSMTPServer. The outcome
// is form.gSMTP_Error: a net::SmtpOutcome (kSmtpOk = sent) or the socket's
// own error code.
#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace net {
class FrmMail;
}

namespace mailout {

struct MailoutState;

// Step numbers of the dialogue; the reply to the previous command is judged
// in the step named by gSMTPStep.
enum SmtpStep : std::int16_t {
    SMTP_Idle = 10,
    SMTP_CallHost = 1500,
    SMTP_OpenConnection = 1100,
    SMTP_HELO = 1110,
    SMTP_MAIL = 1120,
    SMTP_RCPT = 1200,
    SMTP_DATA = 1300,
    SMTP_QUIT = 1400,
    SMTP_CONFIRM_QUIT = 1450,
};

// The end-of-data marker every message must end with.
inline constexpr const char* kEndOfData = "\r\n\r\n.\r\n";

// Runs the whole dialogue; true when the server took the message (its end
// of data answered with 250), whatever becomes of the QUIT after it. The
// whole dialogue ends at DialogueDeadline at the latest (code kSmtpTimedOut).
bool SendEMail(net::FrmMail& form, MailoutState& st);
// One step on the reply in PortIn.
void SMTP_Process(net::FrmMail& form, MailoutState& st);
// Sends the message, dot-stuffed and with CR LF line ends, in blocks of 256
// characters; false when a block could not be written (the rest is not
// offered).
bool SMTPWriteBlock(net::FrmMail& form, MailoutState& st);
std::string GetSMTPErrorMessage(const net::FrmMail& form, std::int32_t code);

// How long one reply wait and one whole dialogue may last.
platform::Millis ReplyWaitLimit(net::FrmMail& form);
platform::Millis DialogueDeadline(net::FrmMail& form);

}  // namespace mailout
