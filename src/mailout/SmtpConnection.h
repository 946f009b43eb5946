#pragma once
// The connection under an SMTP dialogue: reaching the server (step
// SMTP_CallHost) and turning the connection into TLS after STARTTLS. Used by
// the state table in SMTPprocedures.cpp.
#include "mailout/SMTPprocedures.h"

namespace mailout {

// Resolves and connects, and waits for the greeting. SMTP_OpenConnection
// (the step that judges the greeting) when it came; SMTP_Idle with
// gSMTP_Error set when it did not. An address found silent or refusing
// earlier in the run, under any name, fails at once with what it did then.
SmtpStep CallHost(net::FrmMail& form, MailoutState& st, const Services& sv);

// After the server's "220" to STARTTLS: whatever arrived in clear after it
// is dropped (it could only be an attacker's), and the TLS handshake is
// made with the server's certificate checked. False, with gSMTP_Error set,
// when it failed.
bool StartTlsNow(net::FrmMail& form, MailoutState& st, const Services& sv);

// "smtp host:port": the server of the dialogue as the debug log names it.
std::string Peer(const MailoutState& st, const Services& sv);

}  // namespace mailout
