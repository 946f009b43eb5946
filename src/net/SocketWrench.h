#pragma once
// The small socket routines both mail clients build on: prepare a socket,
// make a host its remote end, connect and await the greeting, close, the SMTP
// side's reply wait and its flow-controlled write.
#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace net {

class FrmMail;

// The port arguments of OpenConnection only choose the protocol side (which
// error variable and which wait); the port connected to comes from the
// options (VOXAFAX_SMTP_PORT / VOXAFAX_POP3_PORT win).
inline constexpr int kSmtpSide = 25;
inline constexpr int kPopSide = 110;

// Prepares `socket` for "SMTP" or "POP" (anything but "POP" is SMTP): text
// mode, non-blocking, and implicit TLS when the options ask for it.
void CreateSocket(FrmMail& form, platform::Socket& socket, const std::string& service);

// Makes `host` the socket's remote host; true when an address is known.
bool GetHostIPAddress(FrmMail& form, platform::Socket& socket, const std::string& host,
                      const std::string& service);

// Connects and waits for the first data from the server. Failure is reported
// in gSMTP_Error (side 25) or gPOP_Error (side 110): the socket's own code
// when an error event ended the wait (refused, unreachable, TLS certificate
// not accepted: known at once, so no tick passes), -1 when the server hung
// up, kSmtpConnectFailed / kPopConnectFailed when no greeting came in time
// or the socket would not start. The reason's text is in
// gSMTPSocketErrorString / gPOPSockErrDescr.
void OpenConnection(FrmMail& form, platform::Socket& socket, int port);

// The TLS settings of a side (kSmtpSide, kPopSide) as the options give them:
// implicit TLS or not, the extra trusted authorities, and what to set when
// the server's certificate is not trusted.
platform::TlsSettings TlsFor(FrmMail& form, int side);

// Upgrades the side's open connection to TLS once the server agreed to it
// (STARTTLS, STLS). Whatever arrived before and was not yet judged is
// dropped, in the socket and in the form, so that no line sent in clear can
// pass for a reply on the secured connection. True when the handshake
// succeeded; otherwise gSMTP_Error / gPOP_Error holds the socket's code and
// gSMTPSocketErrorString / gPOPSockErrDescr its reason (certificate not
// trusted, ...), or the wait's time-out.
bool StartTls(FrmMail& form, platform::Socket& socket, int side);

// Disconnects the form's SMTPSocket; gSocketState becomes idle.
void CloseConnection(FrmMail& form);

// Waits until gSocketState equals doState; true when the wait timed out
// (gSMTP_Error = kSmtpTimedOut then). A socket error or disconnect ends it at
// once (false), also one that came before the wait began, and so does a
// socket that is already closed (gSMTP_Error = -1, "Server Disconnected").
bool SMTPTimout(FrmMail& form, std::int16_t doState);

// Sends all of OutBuff with flow control; true when all of it was accepted.
// What arrived before and is not yet a whole reply is dropped first: no
// reply to a command can come before the command.
// A closed socket fails at once; one that stays unwritable, after a tick.
bool WriteOut(FrmMail& form, platform::Socket& socket, std::string OutBuff);

}  // namespace net
