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
