#pragma once
// The POP3 client of the mail form: downloads every message of the
// subscriber's mailbox into a file of the In folder and deletes it on the
// server.
#include <cstdint>
#include <functional>
#include <string>

#include "pop/PassOver.h"
#include "pop/PopDownload.h"
#include "pop/PopLink.h"
#include "pop/PopListing.h"
#include "pop/PopServices.h"
#include "pop/PopStaging.h"

namespace net {
class FrmMail;
}
namespace config {
enum class RunFailure;
}

namespace pop {

// The session's steps (gPOPState): each judges the reply in hand, sends the
// next command and names the step that judges its reply.
enum PopStep : std::int16_t {
    POP_OpenConnection = 100,  // resolve and connect; the greeting comes with it
    POP_UserValidation = 110,  // the greeting: USER (or STLS, or AUTH)
    POP_StlsValidation = 115,  // the STLS reply: TLS, then USER or AUTH
    POP_PassValidation = 120,  // the USER reply: PASS
    POP_Statistics = 200,      // the PASS (or AUTH) reply: STAT
    POP_ReadStats = 205,       // the STAT reply: the counts
    POP_Transaction = 300,
    POP_JustQuit = 500,  // a command was refused and QUIT was sent
};

struct PopState {
    std::int16_t gPOPState = 0;
    std::string gPOPCommand;
    std::int32_t gPOPMsgCount = 0;
    std::int32_t gPOPMailboxSize = 0;
    std::int16_t gPOPMsgNum = 0;
};

class PopClient {
  public:
    // Installs the POP reply wait into form.POPTimout, which OpenConnection
    // and StartTls use on the POP side.
    PopClient(const PopServices& services, net::FrmMail& form);
    ~PopClient();
    PopClient(const PopClient&) = delete;
    PopClient& operator=(const PopClient&) = delete;

    PopStaging& staging() { return staging_; }

    // The wall clock in seconds, for what is remembered across runs (the
    // system's by default; tests set their own).
    std::function<std::int64_t()> wallClock;

    // Takes each new message once it is whole, while the server works on
    // the next command (the RETR of the next message, or before QUIT for
    // the last): the run converts it meanwhile. The staged file stays and
    // reaches In/ as always. Not called when empty.
    std::function<void(const std::string& staged)> takeWhole;

    // One whole session; the outcome is the files in In/, the deletions on
    // the server, print_status, gLastError, the run log and the run's
    // figures. Whole downloads reach In/ whatever becomes of the session
    // (PopStaging); a message that made three sessions in a row fail, or is
    // larger than [pop3] max_message_mb, or too slow to come within the
    // session's deadline, is left on the server and reported. No QUIT follows
    // a failed RETR, so the server keeps every message of a failed session.
    void CHECKMAIL_Click();

    // Logs on as a session would (STLS, the logon, STAT) and quits: nothing
    // is fetched or deleted. For setup and check: true when the server took
    // the logon; otherwise the run log says why, as it does for a session.
    bool Probe();
    // The message count STAT answered in the latest logon.
    std::int32_t MessageCount() const { return st_.gPOPMsgCount; }

  private:
    // Why a step of the session failed, for the run log and last_error.
    struct Failure {
        std::string what;  // "RETR 2: -ERR ...", "DELE 2: no data for 60 s", ...
        bool storage = false;
    };

    bool Session();
    bool LogOn();
    void POP_Process();
    void Connect();
    void JudgeGreeting();
    void JudgeStls();
    void SendLogon();
    void Next(PopStep step, const char* awaited);
    void Refuse();
    bool ReadListings();
    bool CollectListing(const std::string& command, std::string& answer);
    bool Transaction(std::int64_t now);
    bool Skip(int number, std::int64_t now);
    bool RetrieveMessage(std::int16_t MsgNum);
    bool Keep(int number);
    bool KillMessage(std::int16_t MsgNum);
    bool Delete(int number, std::int64_t now);
    bool Quit();
    void HandOver();
    void Judge(int number, std::int64_t now);
    bool TheMessagesFault();
    bool Unreachable() const;
    void PassOverMessage(int number, const std::string& why, const std::string& shortWhy);

    // The run log and last_error (PopReport.cpp).
    void ReportLogonFailure();
    std::string ConnectFailureText() const;
    std::string RefusalText(config::RunFailure& kind) const;
    void ReportTransactionFailure(int number, const char* what);
    void ErrorReport();
    void NoteReply();
    std::string Where() const;  // "pop3 host:port" and " (TLS)" or " (STLS)"
    std::string LogonName() const;
    std::int64_t MaxMessageBytes() const;
    std::string Describe(int number) const;

    const PopServices s_;  // references: cheap to hold by value
    net::FrmMail& form_;
    PopLink link_;
    PopState st_;
    PopStaging staging_;
    PassOver passOver_;
    Listing box_;
    std::string secret_;       // the password or token, for this session only
    std::string partialFile_;  // the message file being written, until it is complete
    std::string whole_;        // the staged file of the latest new message, until taken

    std::string host_;
    std::string awaited_;    // the reply the session waits for or judges: "greeting", "USER", ...
    std::string greeting_;   // the greeting's first line
    std::string lastReply_;  // the latest reply line, for reports
    std::string refusal_;    // the negative reply that ended the logon
    bool lookupFailed_ = false;
    bool wrongProtocol_ = false;  // the greeting was no POP3 server's
    bool clearRefused_ = false;   // STLS refused, and clear text not allowed
    bool tlsFailed_ = false;      // the handshake after STLS failed
    bool secured_ = false;        // the connection is TLS (implicit or after STLS)
    bool continued_ = false;      // an AUTH continuation was answered
    bool inTransaction_ = false;  // past STAT: failures are reported where they happen
    bool sawAll_ = false;         // every message of the mailbox was downloaded
    bool tooSlow_ = false;        // the download in hand fell below the floor
    std::int32_t newMessages_ = 0;
    std::int64_t newBytes_ = 0;
    Failure failure_;
    std::int64_t received_ = 0;   // of the message in hand
    std::int64_t expected_ = -1;  // its size, as LIST or RETR announced it
    platform::SteadyTime retrStart_{};
};

}  // namespace pop
