#include "mailout/SmtpConnection.h"

#include "config/Context.h"
#include "config/Options.h"
#include "mailout/Services.h"
#include "mailout/SmtpReply.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace mailout {
namespace {

// The socket layer connects to the [smtp] port; a relay with a port of its
// own lends it for the connection, and chooses implicit TLS for itself.
class RelayEndpoint {
  public:
    RelayEndpoint(net::FrmMail& form, const DialogueSettings& s)
        : form_(form), port_(form.options().smtpPort), saved_(port_) {
        if (s.port <= 0) return;
        active_ = true;
        port_ = s.port;
        platform::TlsSettings tls = net::TlsFor(form, net::kSmtpSide);
        tls.enabled = s.implicitTls;
        form.SMTPSocket().SetTls(tls);
    }
    // The connection is made (or failed) by now: the rows that may follow
    // get the [smtp] settings back.
    ~RelayEndpoint() {
        if (!active_) return;
        port_ = saved_;
        form_.SMTPSocket().SetTls(net::TlsFor(form_, net::kSmtpSide));
    }
    RelayEndpoint(const RelayEndpoint&) = delete;
    RelayEndpoint& operator=(const RelayEndpoint&) = delete;

  private:
    net::FrmMail& form_;
    int& port_;
    int saved_;
    bool active_ = false;
};

// Codes after which the server is not worth another try in this run: it was
// not found, not reached, or did not answer in time. A server that answered
// and refused may still take another sender or another message.
bool Silent(std::int32_t code) {
    return code != net::kSmtpOk && code != net::kSmtpServiceUnavailable &&
           code != net::kSmtpRecipientRefused && code != net::kSmtpDataRefused &&
           code != net::kSmtpNotConfirmed;
}

std::string AddressKey(net::FrmMail& form, const MailoutState& st, const Services& sv) {
    const int port = st.settings.port > 0 ? st.settings.port : sv.options.smtpPort;
    return form.SMTPSocket().HostAddress() + ":" + std::to_string(port);
}

// A server found silent before: the dialogue ends as it did then.
bool KnownSilent(net::FrmMail& form, MailoutState& st, const std::string& key) {
    auto it = st.silent.find(key);
    if (it == st.silent.end()) return false;
    form.gSMTP_Error = it->second.code;
    form.gSMTPSocketErrorString = it->second.words;
    st.fault = "was found unreachable earlier in this run and is not asked again";
    return true;
}

// Names what to remember of a dialogue that ended with `code`.
void NoteSilence(net::FrmMail& form, MailoutState& st, const Services& sv, std::int32_t code,
                 bool resolved) {
    if (!Silent(code)) return;
    const std::string key = resolved ? AddressKey(form, st, sv) : "host " + st.gSMTPServer;
    st.silent.emplace(key, MailoutState::Silence{code, form.gSMTPSocketErrorString});
}

// One dialogue from its first step to its log entry.
class Dialogue {
  public:
    Dialogue(net::FrmMail& form, MailoutState& st, const Services& sv)
        : form_(form), st_(st), sv_(sv) {}

    bool Run() {
        Begin();
        bool result = Steps();
        sv_.loop.Cancel(deadline_);
        if (accepted_) {
            form_.gSMTP_Error = net::kSmtpOk;
            result = true;
        }
        End();
        return result;
    }

  private:
    void Begin() {
        form_.gSMTPSocketError = 0;
        form_.gSMTPSocketErrorString.clear();
        st_.deadlinePassed = false;
        st_.writeFailed = false;
        st_.fault.clear();
        st_.extensions.clear();
        st_.tlsActive = st_.settings.implicitTls;
        st_.authRound = 0;
        st_.authenticated = false;
        st_.sender = st_.gSMTPSenderAddr;
        // Each wait allows its ticks, but the whole dialogue has a deadline
        // too: a server that answers every command just before a wait runs
        // out must not hold one message for many ticks.
        deadline_ = sv_.loop.After(DialogueDeadline(sv_), [this] {
            st_.deadlinePassed = true;
            form_.gSMTP_Error = net::kSmtpTimedOut;
        });
    }

    void Enter(SmtpStep step) {
        st_.gSMTPStep = step;
        st_.SMTP_State = StepName(step);
    }

    // Steps after which a refusal still gets a QUIT: the server is there and
    // talking. A wrong greeting, a refused message or a failed QUIT do not.
    static bool QuitsPolitely(SmtpStep step) {
        return step == SMTP_HELO || step == SMTP_EHLO || step == SMTP_STARTTLS ||
               step == SMTP_AUTH || step == SMTP_MAIL || step == SMTP_RCPT || step == SMTP_DATA;
    }

    bool Steps() {
        Enter(SMTP_CallHost);
        SmtpStep next = SMTP_Process(form_, st_, sv_);
        resolved_ = next != SMTP_Idle || form_.gSMTP_Error != net::kSmtpHostUnknown;
        if (st_.deadlinePassed) form_.gSMTP_Error = net::kSmtpTimedOut;
        if (form_.gSMTP_Error != net::kSmtpOk) return false;
        while (next != SMTP_Idle) {
            Enter(next);
            const SmtpStep step = next;
            next = SMTP_Process(form_, st_, sv_);
            if (form_.gSMTP_Error != net::kSmtpOk)
                return QuitsPolitely(step) && !st_.writeFailed && PoliteQuit();
            if (step == SMTP_QUIT) {
                // The server has the message. Whatever happens to the QUIT,
                // it must not be sent again through another server.
                accepted_ = true;
                if (st_.onAccepted) st_.onAccepted();
            }
            if (next == SMTP_Idle) break;
            if (!Written() || !AwaitReply()) return false;
        }
        form_.gSocketState = net::kSockAwaitReply;
        return form_.gSMTP_Error == net::kSmtpOk;
    }

    // Says goodbye properly, and ends with the code of the step that failed
    // rather than that of the QUIT. Always false: the message did not go.
    bool PoliteQuit() {
        politeQuit_ = true;
        refusal_ = SessionLogReply(form_.PortIn);
        const std::int32_t remembered = form_.gSMTP_Error;
        st_.gOutCmd = "QUIT\r\n";
        if (sv_.log.Enabled(platform::LogLevel::Debug)) sv_.log.Debug(Peer(st_, sv_) + " > QUIT");
        if (!form_.SMTPSocket().Connected() ||
            !net::WriteOut(form_, form_.SMTPSocket(), st_.gOutCmd))
            return false;
        if (!AwaitReply()) {
            // Only a wait that ran out says more than the refusal did.
            if (form_.gSMTP_Error != net::kSmtpTimedOut) form_.gSMTP_Error = remembered;
            return false;
        }
        Enter(SMTP_CONFIRM_QUIT);
        (void)SMTP_Process(form_, st_, sv_);
        form_.gSocketState = net::kSockAwaitReply;
        form_.gSMTP_Error = remembered;
        return false;
    }

    // After a step that writes: false when what it had to send could not be
    // written. The connection is gone (its own code, or -1) or takes nothing
    // (as a wait that runs out).
    bool Written() {
        if (st_.deadlinePassed) {
            form_.gSMTP_Error = net::kSmtpTimedOut;
            return false;
        }
        if (!st_.writeFailed) return true;
        if (form_.SMTPSocket().Connected())
            form_.gSMTP_Error = net::kSmtpTimedOut;
        else
            form_.gSMTP_Error =
                form_.gSMTPSocketError != 0 ? form_.gSMTPSocketError : net::kSmtpDisconnected;
        return false;
    }

    // Waits for the reply to what was just sent. False when the dialogue is
    // over: the wait ran out, the deadline passed, or the server went away
    // or failed without replying (its own code then, at once: the reply of
    // the step before is not judged again, nor anything written to a
    // connection that is gone).
    bool AwaitReply() {
        form_.gSocketState = net::kSockAwaitReply;
        if (net::SMTPTimout(form_, net::kSockIdle)) return false;
        if (st_.deadlinePassed) {
            form_.gSMTP_Error = net::kSmtpTimedOut;
            return false;
        }
        if (form_.gSocketState != net::kSockIdle && form_.gSMTP_Error != net::kSmtpOk) return false;
        if (sv_.log.Enabled(platform::LogLevel::Debug))
            sv_.log.Debug(Peer(st_, sv_) + " < " + SessionLogReply(form_.PortIn));
        return true;
    }

    void End();

    net::FrmMail& form_;
    MailoutState& st_;
    const Services& sv_;
    platform::TimerId deadline_ = 0;
    bool accepted_ = false;  // the server answered the end of the message with 250
    bool politeQuit_ = false;
    bool resolved_ = false;
    std::string refusal_;  // the reply that made a step fail
};

}  // namespace

SmtpStep CallHost(net::FrmMail& form, MailoutState& st, const Services& sv) {
    RelayEndpoint endpoint(form, st.settings);
    platform::Socket& sock = form.SMTPSocket();
    if (KnownSilent(form, st, "host " + st.gSMTPServer)) return SMTP_Idle;
    if (!net::GetHostIPAddress(form, sock, st.gSMTPServer, "SMTP")) {
        form.gSMTP_Error = net::kSmtpHostUnknown;
        return SMTP_Idle;
    }
    if (KnownSilent(form, st, AddressKey(form, st, sv))) return SMTP_Idle;
    // The lookup left the socket idle: this wait only yields once.
    if (net::SMTPTimout(form, net::kSockIdle)) return SMTP_Idle;
    form.gSMTP_Error = net::kSmtpOk;
    net::OpenConnection(form, sock, net::kSmtpSide);
    if (form.gSMTP_Error != net::kSmtpOk) return SMTP_Idle;
    st.gSMTPStep = SMTP_Idle;
    return SMTP_OpenConnection;
}

bool StartTlsNow(net::FrmMail& form, MailoutState& st, const Services& sv) {
    if (sv.log.Enabled(platform::LogLevel::Debug)) sv.log.Debug(Peer(st, sv) + ": TLS handshake");
    if (net::StartTls(form, form.SMTPSocket(), net::kSmtpSide)) {
        st.tlsActive = true;
        return true;
    }
    if (form.gSMTP_Error == net::kSmtpOk) form.gSMTP_Error = net::kSmtpConnectFailed;
    st.fault = "failed the TLS handshake after STARTTLS: " +
               (form.gSMTPSocketErrorString.empty() ? std::string("no handshake in time")
                                                    : form.gSMTPSocketErrorString);
    // Nothing more goes over a connection whose protection failed.
    if (form.SMTPSocket().Connected()) net::CloseConnection(form);
    return false;
}

void Dialogue::End() {
    const std::int32_t code = form_.gSMTP_Error;
    if (!accepted_) NoteSilence(form_, st_, sv_, code, resolved_);
    // A connection that failed before anything arrived is told by the
    // socket's own words (refused, certificate not trusted, ...).
    const std::string reply = form_.PortIn.empty() && !form_.gSMTPSocketErrorString.empty()
                                  ? SessionLogReply(form_.gSMTPSocketErrorString)
                                  : SessionLogReply(form_.PortIn);
    st_.lastReply = politeQuit_ ? refusal_ : reply;
    const std::string error = SessionLogError(GetSMTPErrorMessage(form_, code));
    st_.gSMTPLog += st_.SMTP_State + " + " + reply + " + " + error + ", ";
    form_.PortIn.clear();
    if (form_.SMTPSocket().Connected()) net::CloseConnection(form_);
}

bool SendEMail(net::FrmMail& form, MailoutState& st, const Services& sv) {
    return Dialogue(form, st, sv).Run();
}

}  // namespace mailout
