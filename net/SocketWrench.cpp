#include "net/SocketWrench.h"

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "net/FrmMail.h"
#include "platform/Environment.h"

namespace net {

void CreateSocket(FrmMail& form, platform::Socket& socket, const std::string& service) {
    // Address family, text mode, non-blocking stream socket: our sockets are
    // always like that; what remains to choose is TLS for the side.
    platform::TlsSettings tls;
    tls.enabled = service != "POP" ? form.ctx().options.smtpTls : form.ctx().options.popTls;
    socket.SetTls(tls);
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
    form.ctx().loop.Yield();
    return true;
}

void OpenConnection(FrmMail& form, platform::Socket& socket, int port) {
    form.gSocketState = kSockConnecting;
    const bool smtp = port == kSmtpSide;
    int result = 0;
    if (!socket.Connected())
        result = socket.Connect(smtp ? form.ctx().options.smtpPort : form.ctx().options.popPort);
    if (smtp) {
        if (result != 0) {
            form.gSMTP_Error = kSmtpConnectFailed;
            return;
        }
        // No greeting in time is a failed connection, not a timed-out reply.
        if (SMTPTimout(form, kSockIdle)) {
            form.gSMTP_Error = kSmtpConnectFailed;
            return;
        }
        // An error event before the connection was made means it could not
        // be made at all (refused, unreachable, failed TLS handshake): that is
        // "unable to connect", not a dialogue error. The socket's own code and
        // text stay in gSMTPSocketError / gSMTPSocketErrorString.
        if (form.gSMTP_Error != kSmtpOk && form.gSocketState == kSockConnecting)
            form.gSMTP_Error = kSmtpConnectFailed;
    } else {
        if (result != 0) {
            form.gPOP_Error = kPopConnectFailed;
            return;
        }
        if (form.POPTimout && form.POPTimout(kSockIdle)) {
            form.gPOP_Error = kPopConnectFailed;
            return;
        }
        if (form.gPOP_Error != kPopOk && form.gSocketState == kSockConnecting)
            form.gPOP_Error = kPopConnectFailed;
    }
}

void CloseConnection(FrmMail& form) {
    form.SMTPSocket().Disconnect();
    form.gSocketState = kSockIdle;
}

bool SMTPTimout(FrmMail& form, std::int16_t doState) {
    std::int32_t ticks = form.ctx().cfg.gTimoutMinutes;
    do {
        form.ctx().loop.Yield();
        form.SetTimerInterval(form.MailTimer, form.gTimerInterval);
        for (;;) {
            if (form.gSocketState == doState) return false;
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
    for (;;) {
        const long length = static_cast<long>(OutBuff.size());
        form.gMailTimerFired = false;
        form.SetTimerInterval(form.MailTimer, kTimerMinuteMs);
        while (!socket.IsWritable()) {
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
