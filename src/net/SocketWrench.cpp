#include "net/SocketWrench.h"

#include <cstring>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "net/FrmMail.h"
#include "platform/Environment.h"

namespace net {
namespace {

// The SMTP socket is closed, so that no reply, greeting or write event can
// come: it failed to connect (an error is noted then) or it was open and is
// not any more. While resolving or still connecting it is not open yet.
bool SocketGone(FrmMail& form) {
    if (form.SMTPSocket().Connected()) return false;
    if (form.gSMTP_Error != kSmtpOk) return true;
    return form.gSocketState != kSockResolving && form.gSocketState != kSockConnecting;
}

}  // namespace

platform::TlsSettings TlsFor(FrmMail& form, int side) {
    const config::Options& o = form.options();
    const bool smtp = side == kSmtpSide;
    platform::TlsSettings tls;
    tls.enabled = smtp ? o.smtpTls : o.popTls;
    tls.caFile = smtp ? o.smtpCaFile : o.popCaFile;
    tls.caPath = smtp ? o.smtpCaPath : o.popCaPath;
    tls.trustHint = std::string("set ") + (smtp ? "[smtp]" : "[pop3]") + " ca_file in " +
                    form.env().OptionsIni() +
                    " to the certificate of the authority that signed the server's";
    return tls;
}

void CreateSocket(FrmMail& form, platform::Socket& socket, const std::string& service) {
    // Address family, text mode, non-blocking stream socket: our sockets are
    // always like that; what remains to choose is TLS for the side.
    socket.SetTls(TlsFor(form, service != "POP" ? kSmtpSide : kPopSide));
}

bool StartTls(FrmMail& form, platform::Socket& socket, int side) {
    const bool smtp = side == kSmtpSide;
    form.DropUnread(side);
    form.gSocketState = kSockConnecting;
    platform::TlsSettings tls = TlsFor(form, side);
    tls.enabled = true;
    socket.StartTls(tls);
    // onConnect tells the end of the handshake; a failure comes as an error
    // event (certificate not trusted, the server gave up) and ends the wait.
    const bool timedOut =
        smtp ? SMTPTimout(form, kSockConnected) : form.POPTimout && form.POPTimout(kSockConnected);
    if (timedOut || form.gSocketState != kSockConnected) return false;
    return (smtp ? form.gSMTP_Error : form.gPOP_Error) == 0;
}

bool GetHostIPAddress(FrmMail& form, platform::Socket& socket, const std::string& host,
                      const std::string& service) {
    (void)service;
    // A host is a name as soon as one character sorts after "9"; anything
    // else (digits, dots, blanks, punctuation) is taken as an address.
    bool isName = false;
    for (unsigned char c : host)
        if (c > '9') isName = true;
    form.gSocketState = kSockResolving;
    std::string address;
    if (isName) {
        address = socket.SetHostName(host);
    } else {
        socket.SetHostAddress(host);
        address = host;
    }
    if (address.empty()) return false;
    form.gSocketState = kSockIdle;
    form.loop().Yield();
    return true;
}

void OpenConnection(FrmMail& form, platform::Socket& socket, int port) {
    form.gSocketState = kSockConnecting;
    const bool smtp = port == kSmtpSide;
    int result = 0;
    if (!socket.Connected())
        result = socket.Connect(smtp ? form.options().smtpPort : form.options().popPort);
    // A socket that refuses to start gives no event: its code still names the
    // reason for the logs.
    if (result != 0) {
        const std::string reason = std::strerror(result);
        if (smtp) {
            form.gSMTPSocketError = result;
            form.gSMTPSocketErrorString = reason;
            form.gSMTP_Error = kSmtpConnectFailed;
        } else {
            form.gPOPSockErrDescr = reason;
            form.gPOP_Error = kPopConnectFailed;
        }
        return;
    }
    // No greeting in time is a failed connection, not a timed-out reply. An
    // error event while connecting (refused, unreachable, TLS not accepted)
    // ends the wait at once and its code stays in gSMTP_Error / gPOP_Error,
    // its text in gSMTPSocketErrorString / gPOPSockErrDescr.
    if (smtp) {
        if (SMTPTimout(form, kSockIdle)) form.gSMTP_Error = kSmtpConnectFailed;
    } else {
        if (form.POPTimout && form.POPTimout(kSockIdle)) form.gPOP_Error = kPopConnectFailed;
    }
}

void CloseConnection(FrmMail& form) {
    form.SMTPSocket().Disconnect();
    form.gSocketState = kSockIdle;
}

bool SMTPTimout(FrmMail& form, std::int16_t doState) {
    std::int32_t ticks = form.TimeoutTicks();
    do {
        form.loop().Yield();
        form.SetTimerInterval(form.MailTimer, form.gTimerInterval);
        for (;;) {
            form.DeliverReply(kSmtpSide);
            if (form.gSocketState == doState) return false;
            // Nothing can arrive on a closed socket: a refused connection or
            // a hang-up ends the wait now, not at the next tick. An open
            // socket is given its yield first (a reply may be on its way
            // after an error noted earlier in the dialogue).
            if (SocketGone(form)) {
                if (form.gSMTP_Error == kSmtpOk) {
                    form.gSMTP_Error = kSmtpDisconnected;
                    form.gSMTPSocketErrorString = "Server Disconnected";
                }
                return false;
            }
            form.WaitYield();
            if (form.gMailTimerFired) break;
            if (form.gSMTP_Error != kSmtpOk) return false;
        }
        form.gMailTimerFired = false;
        --ticks;
    } while (ticks > 0);
    form.gSMTP_Error = kSmtpTimedOut;
    return true;
}

bool WriteOut(FrmMail& form, platform::Socket& socket, std::string OutBuff) {
    // Nothing that arrived before this is an answer to it.
    form.DropPending(kSmtpSide);
    for (;;) {
        const long length = static_cast<long>(OutBuff.size());
        form.gMailTimerFired = false;
        form.SetTimerInterval(form.MailTimer, kTimerMinuteMs);
        while (!socket.IsWritable()) {
            if (!socket.Connected()) return false;  // nothing will ever take it
            form.WaitYield();
            if (form.gMailTimerFired) return false;
        }
        const long sent = socket.Write(OutBuff);
        if (sent == length) return true;
        if (sent < 0) return false;
        // Partial write: wait for the socket to say it can take more, then
        // offer the part it did not accept.
        form.gSocketState = kSockAwaitWrite;
        if (SMTPTimout(form, kSockWritable)) return false;
        form.gSocketState = kSockIdle;
        OutBuff.erase(0, static_cast<std::size_t>(sent));
    }
}

}  // namespace net
