// What the run log and last_error say when a POP session fails: the object,
// what happened, and the setting a person would change.
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "pop/PopClient.h"
#include "pop/PopReply.h"

namespace pop {
namespace {

std::string LowerFirst(std::string s) {
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z' && (s.size() < 2 || s[1] < 'A' || s[1] > 'Z'))
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

}  // namespace

void PopClient::NoteReply() {
    lastReply_ = link_.Quote(form_.PortIn);
    if (s_.log.Enabled(platform::LogLevel::Debug)) s_.log.Debug("pop3 < " + lastReply_);
}

std::string PopClient::Where() const {
    return "pop3 " + host_ + ":" + std::to_string(s_.options.popPort) +
           (s_.options.popTls        ? " (TLS)"
            : s_.options.popStartTls ? " (STLS)"
                                     : "");
}

std::string PopClient::LogonName() const {
    return s_.options.popUser.empty() ? s_.run.gLogin : s_.options.popUser;
}

std::string PopClient::Describe(int number) const {
    return box_.Describe(number, st_.gPOPMsgCount,
                         [this](const std::string& uid) { return link_.Quote(uid); });
}

// No connection, or no greeting: the setting that names the server.
std::string PopClient::ConnectFailureText() const {
    const std::string options = s_.env.OptionsIni();
    const std::string where = s_.options.popPortFromVariable
                                  ? "[pop3] host in " + options + " and VOXAFAX_POP3_PORT"
                                  : "[pop3] host and port in " + options;
    const std::string hint = s_.options.popHost.empty()
                                 ? where +
                                       " (the host defaults to the domain of Voxa_Fax_Addr in " +
                                       s_.env.profilePath + ")"
                                 : where;
    const std::int32_t code = form_.gPOP_Error;
    const std::string& reason = form_.gPOPSockErrDescr;
    if (lookupFailed_) return "host not found; check " + hint;
    if (wrongProtocol_)
        return "the greeting \"" + greeting_ + "\" is not a POP3 server's; check [pop3] port in " +
               options;
    // The socket's words name the option that trusts an authority.
    if (tlsFailed_) return "TLS after STLS failed: " + reason;
    if (code == net::kPopConnectFailed && reason.empty())
        return "no greeting, timed out after " +
               std::to_string(link_.Seconds(link_.Ticks(s_.cfg.gTimoutMinutes))) + " s; check " +
               hint;
    if (code == net::kPopDisconnected)
        return "the server closed the connection before its greeting; check [pop3] port and "
               "tls in " +
               options;
    if (reason.rfind("certificate not trusted", 0) == 0) return reason;
    if (reason.rfind("TLS", 0) == 0) return reason + "; check [pop3] tls and port in " + options;
    return LowerFirst(reason.empty() ? "the connection failed" : reason) + "; check " + hint;
}

// The server said no: to what, in its words, and what to change.
std::string PopClient::RefusalText(config::RunFailure& kind) const {
    using config::RunFailure;
    const std::string options = s_.env.OptionsIni();
    const std::string quoted = "\"" + refusal_ + "\"";
    const std::string who = "logon refused for user " + LogonName() + ": " + quoted;
    kind = RunFailure::LogonRefused;
    if (clearRefused_) {
        kind = RunFailure::Config;
        return "the server does not offer STLS (" + quoted +
               "), and the password must not go in clear; set [pop3] tls = yes (POP3S) or "
               "allow_clear = yes in " +
               options;
    }
    // A server that takes no password in clear says so in its refusal.
    if (platform::ContainsNoCase(refusal_, "plaintext") && !secured_)
        return who +
               "; the server takes a logon only over TLS: set [pop3] tls = starttls (or "
               "tls = yes) in " +
               options;
    const std::string secret =
        s_.options.popSecret.Set()
            ? "[pop3] " +
                  std::string(s_.options.popSecret.command.empty() ? "password_file"
                                                                   : "password_command") +
                  " in " + options
            : "Password in " + s_.env.profilePath;
    if (awaited_ == "USER")
        return who + "; check " +
               (s_.options.popUser.empty()
                    ? "the user part of Voxa_Fax_Addr in " + s_.env.profilePath +
                          " (or set [pop3] user in " + options + ")"
                    : "[pop3] user in " + options);
    if (awaited_ == "PASS") return who + "; check " + secret;
    if (awaited_ == "AUTH")
        return who + "; check " + secret + ", and [pop3] auth and user in " + options;
    kind = RunFailure::Retrieval;
    if (awaited_ == "greeting") return "the server refused the session: " + quoted;
    return awaited_ + " refused: " + quoted;
}

// Before the mailbox is open: what failed, and the setting a person would
// change. The historical last_error is left to ErrorReport.
void PopClient::ReportLogonFailure() {
    using config::RunFailure;
    RunFailure kind = RunFailure::ServerUnreachable;
    std::string text;
    const bool beforeGreeting = awaited_ == "greeting" && refusal_.empty();
    if (lookupFailed_ || wrongProtocol_ || tlsFailed_ || beforeGreeting) {
        text = ConnectFailureText();
    } else if (!refusal_.empty()) {
        text = RefusalText(kind);
    } else if (form_.gPOP_Error == net::kPopTimedOut) {
        text = "no answer to " + awaited_ + ", " +
               (link_.deadlineHit()
                    ? link_.LostWhy()
                    : "timed out after " +
                          std::to_string(link_.Seconds(link_.Ticks(s_.cfg.gTimoutMinutes))) + " s");
    } else {
        text = link_.LostWhy() + " after " + awaited_;
        kind = RunFailure::Retrieval;
    }
    s_.log.Error(Where() + ": " + text);
    s_.run.NoteFailure(kind);
}

// In the mailbox: the run log says which message and what the server
// answered, and last_error gets one short line.
void PopClient::ReportTransactionFailure(int number, const char* what) {
    std::string text = Where() + ": ";
    if (number > 0) {
        text += Describe(number) + " " + what + ": " + failure_.what;
        const std::string key = box_.KeyOf(number);
        if (const PassOver::Record* r = key.empty() ? nullptr : passOver_.Find(key)) {
            text += " (failure " + std::to_string(r->failures) + " in a row";
            if (r->failures >= PassOver::kFailuresInARow)
                text += "; from the next run on it is passed over";
            text += ")";
        }
        text += "; the messages before it are delivered, those after it wait for the next run";
    } else {
        text += failure_.what + "; the messages downloaded so far are delivered";
    }
    s_.log.Error(text);
    s_.run.gLastError = "Retrieval Error : " + platform::OneLine(failure_.what, 200);
    s_.run.NoteFailure(failure_.storage ? config::RunFailure::Storage
                                        : config::RunFailure::Retrieval);
}

// Only an answer of the server says something the subscriber can act on (a
// wrong password, a locked mailbox); a time-out or a failed connection
// leaves the run's last error as it was. The text is one line, cut at 200
// characters. Failures in the mailbox set it where they are reported.
void PopClient::ErrorReport() {
    if (inTransaction_) return;
    if (form_.gPOP_Error != net::kPopRefused) return;  // also a failed lookup or a disconnect
    if (form_.PortIn.size() > 4)
        s_.run.gLastError = "Retrieval Error : " + link_.Quote(form_.PortIn.substr(4));
    else
        s_.run.gLastError.clear();
}

}  // namespace pop
