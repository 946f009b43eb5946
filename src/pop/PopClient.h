#pragma once
// The POP3 client of the mail form: downloads every message of the
// subscriber's mailbox into a file of the In folder and deletes it on the
// server.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "pop/PassOver.h"
#include "pop/PopStaging.h"

namespace config {
struct Context;
}
namespace net {
class FrmMail;
}
namespace platform {
class Socket;
}

namespace pop {

// The session's steps (gPOPState), numbered in the order they run.
enum PopStep : std::int16_t {
    POP_OpenConnection = 100,
    POP_UserValidation = 110,
    POP_PassValidation = 120,
    POP_Statistics = 200,
    POP_ReadStats = 205,
    POP_Transaction = 300,
    POP_JustQuit = 500,
};

struct PopState {
    std::int16_t gPOPState = 0;
    std::string gPOPCommand;
    std::int32_t gPOPMsgCount = 0;
    std::int32_t gPOPMailboxSize = 0;
    std::int16_t gPOPMsgNum = 0;
    std::string gPOPMsgBuff;
};

class PopClient {
  public:
    // Installs POPTimout into form.POPTimout, which OpenConnection uses for
    // the greeting wait on the POP side.
    PopClient(config::Context& ctx, net::FrmMail& form);
    ~PopClient();
    PopClient(const PopClient&) = delete;
    PopClient& operator=(const PopClient&) = delete;

    PopState& state() { return st_; }
    PopStaging& staging() { return staging_; }

    // The wall clock in seconds, for what is remembered across runs (the
    // system's by default; tests set their own).
    std::function<std::int64_t()> wallClock;

    // One whole session; the outcome is the files in In/, the deletions on
    // the server, print_status, gLastError, the run log and the run's
    // figures. Whole downloads reach In/ whatever becomes of the session
    // (PopStaging); a message that made three sessions in a row fail, or is
    // larger than [pop3] max_message_mb, is left on the server and reported.
    // The session ends by its deadline at the latest; no QUIT follows a
    // failed RETR, so the server keeps every message of a failed session.
    void CHECKMAIL_Click();

    // The steps, public for tests of single steps.
    void POP_Process();
    bool RetrieveMessage(std::int16_t MsgNum);
    bool KillMessage(std::int16_t MsgNum);
    bool POPWriteOut(platform::Socket& socket, std::string OutBuff);
    bool POPTimout(std::int16_t doState);

  private:
    // Why a step of the session failed, for the run log and last_error.
    struct Failure {
        std::string what;  // "RETR 2: -ERR ...", "not complete within 180 s", ...
        bool storage = false;
    };

    bool Session();
    bool ReadListings();
    bool Transaction(std::int64_t now);
    bool Quit();
    void PassOverMessage(int number, const std::string& why, const std::string& shortWhy);
    bool TheMessagesFault();
    bool Send(const std::string& command);
    // Collects a reply up to its CR LF (DELE, QUIT); false when the next tick
    // comes first, the deadline passes or the connection ends.
    bool CollectReply(std::string& reply);
    bool CollectMultiLine(const std::string& command, std::string& answer);
    // Waits until the socket has data; false at the next POPTimer tick, at
    // the deadline or when the connection has failed.
    bool WaitReadable(platform::Socket& socket);
    std::string TakeArrival(platform::Socket& socket);
    void Refuse();
    // Why the connection is no good any more, after a wait came back empty.
    std::string LostWhy(const std::string& during) const;
    void ReportLogonFailure();
    void ReportTransactionFailure(int number);
    void ErrorReport();
    void EndSession();

    // Deadlines: the session's own, and the one of the step in hand (never
    // later than the session's). A wait that meets one fails with
    // gPOP_Error = 7.
    void ArmStep(platform::Millis budget);
    bool PastDeadline();
    platform::Millis Ticks(std::int64_t n) const;
    platform::Millis MessageBudget(std::int64_t size) const;
    std::int64_t Seconds(platform::Millis d) const;

    std::string Where() const;  // "pop3 host:port" and " (TLS)"
    std::int64_t MaxMessageBytes() const;
    std::int64_t SizeOf(int number) const;
    std::string UidOf(int number) const;
    // What PassOver knows message `number` by; "" when it has no identity.
    std::string KeyOf(int number) const;
    std::string Describe(int number) const;  // "message 2 of 3 (12 KB)"
    std::string Quote(std::string_view serverText) const;

    config::Context& ctx_;
    net::FrmMail& form_;
    PopState st_;
    PopStaging staging_;
    PassOver passOver_;
    std::string partialFile_;  // the message file being written, until it is complete

    std::string host_;
    std::string awaited_;    // the reply the session waits for or judges: "greeting", "USER", ...
    std::string greeting_;   // the greeting's first line
    std::string lastReply_;  // the latest reply line, for reports
    std::string refusal_;    // the negative reply that ended the logon
    bool lookupFailed_ = false;
    bool deadlineHit_ = false;
    bool inTransaction_ = false;  // past STAT: failures are reported where they happen
    bool sawAll_ = false;         // every message of the mailbox was downloaded
    std::int32_t newMessages_ = 0;
    std::int64_t newBytes_ = 0;
    Failure failure_;
    std::vector<std::int64_t> sizes_;  // LIST, by message number; -1 unknown
    std::vector<std::string> uids_;    // UIDL, by message number; "" unknown
    std::int64_t received_ = 0;        // of the message in hand
    std::int64_t expected_ = -1;       // its size, as LIST or RETR announced it

    platform::SteadyTime sessionStart_{};
    platform::SteadyTime sessionEnd_{};
    platform::SteadyTime stepEnd_{};
    platform::Millis stepBudget_{0};
    platform::TimerId deadlineTimer_ = 0;
};

}  // namespace pop
