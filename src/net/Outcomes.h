#pragma once
// What a network dialogue came to, by protocol: the values of gSMTP_Error and
// gPOP_Error. Both variables also take the socket's own error code when its
// error event fires, so they stay plain integers and these enums are unscoped
// with an integer underneath: a code compares and stores as a number.
#include <cstdint>

namespace net {

// gSMTP_Error; GetSMTPErrorMessage has a text for each. The mail queue
// writes the number itself into last_error when no server took a message.
enum SmtpOutcome : std::int32_t {
    kSmtpOk = 0,                  // no failure so far; after a dialogue: sent
    kSmtpDisconnected = -1,       // the server closed the connection during a wait
    kSmtpServiceUnavailable = 1,  // greeting not "220 ", or HELO / MAIL FROM not "250 "
    kSmtpRecipientRefused = 2,    // RCPT TO not answered "250 "
    kSmtpDataRefused = 3,         // DATA not answered "354 "
    kSmtpNotConfirmed = 4,        // end of the message not "250 ", or QUIT not "221 "
    kSmtpHostUnknown = 5,         // the server's name could not be resolved
    kSmtpConnectFailed = 6,       // no connection, or no greeting in time
    kSmtpTimedOut = 7,            // a reply wait used up all its ticks
};

// What each SMTP outcome is called: the program's historical text (the
// session log in account.ini, byte for byte), what the server did as the run
// log says it, and what last_error's code means to a person. One table, so
// that the program and the companion tell a code alike.
struct SmtpOutcomeText {
    SmtpOutcome code;
    const char* historical;  // GetSMTPErrorMessage's text
    const char* reason;      // "refused the recipient": the run log, after the server's name
    const char* meaning;     // "the SMTP server refused the recipient"
    bool quotesReply;        // the server's reply says more: the log quotes it
};

inline constexpr SmtpOutcomeText kSmtpOutcomeTexts[] = {
    {kSmtpOk, "Alles OK", "sent",
     "no SMTP server could be tried (check User_SMTP_Server and Normal_EMail_Addr)", false},
    {kSmtpDisconnected, "Server Disconnected", "closed the connection",
     "the SMTP server closed the connection", false},
    {kSmtpServiceUnavailable, "SMTP Service Unavailable on the server - ", "refused service",
     "SMTP Service Unavailable on the server", true},
    {kSmtpRecipientRefused, "The SMTP server replied - ", "refused the recipient",
     "the SMTP server refused the recipient", true},
    {kSmtpDataRefused, "The SMTP server replied - ", "refused the message",
     "the SMTP server refused the message", true},
    {kSmtpNotConfirmed, "Mail Command Syntax Error", "did not take the message",
     "the SMTP server did not take the message", true},
    {kSmtpHostUnknown, "Unable to obtain an Internet Address for the server - ", "host not found",
     "Unable to obtain an Internet Address for the server", false},
    {kSmtpConnectFailed, "Unable to connect to the server - ", "cannot connect",
     "Unable to connect to the server", false},
    {kSmtpTimedOut, "The connection timed out", "timed out", "The connection timed out", false},
};

// The row of a code, or nullptr for the socket's own code (an errno).
inline constexpr const SmtpOutcomeText* FindSmtpOutcome(std::int32_t code) {
    for (const SmtpOutcomeText& t : kSmtpOutcomeTexts)
        if (t.code == code) return &t;
    return nullptr;
}

// gPOP_Error. A refusal, a failed name lookup and a disconnect share one
// code; the error report quotes the server's last reply, which tells them
// apart (a failed lookup leaves none).
enum PopOutcome : std::int32_t {
    kPopOk = 0,
    kPopRefused = -1,       // "-ERR" to the greeting, USER, PASS or STAT
    kPopLookupFailed = -1,  // the server's name could not be resolved
    kPopDisconnected = -1,  // the server closed the connection
    kPopConnectFailed = 6,  // no connection, or no greeting in time
    kPopTimedOut = 7,       // a reply wait used up all its ticks
};

}  // namespace net
