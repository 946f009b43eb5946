#pragma once
// Outgoing mail as the rest of the program calls it: queued receipt files,
// receipts for the message in hand, and the test message.
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mailout/SMTPprocedures.h"
#include "platform/Clock.h"

namespace config {
struct Context;
}

namespace net {
class FrmMail;
}

namespace mailout {

class ReceiptLedger;

// The message being answered, as the inbox walk leaves it.
struct ReceiptInputs {
    std::string gSubject;
    std::string gOriginalMsgID;
    std::string gOriginalId;  // the walk leaves it empty: X-VF-Original-Id goes out bare
    std::string gSenderAddr;
    std::string gPOPSentDateTime;
    std::string gFaxToAddr;
    std::string gMDNOptions;
    bool gfglFullMode = false;
    std::string gFileReport;
    std::string FullMsgHdr;
    std::string gDispositionType;  // "Processed", "Failed" or "CapsRequest"
    std::string gFailureText;
    std::string gProcessReport;
    std::string gPageCount;
};

// The SMTP side's state, kept for the whole run.
struct MailoutState {
    std::string gSMTPServer;
    std::string gSMTPSenderAddr;
    std::string gSMTPRecipAddr;
    std::string gMessageBody;
    std::string gSMTPLog;  // grows through the run
    std::int16_t gSMTPStep = SMTP_Idle;
    std::string SMTP_State;
    std::string gOutCmd;
    bool gflgTestSend = false;

    // How the latest dialogue went, for the run log: the reply in hand when
    // it ended (one line), whether its deadline cut it short, and whether a
    // command or the message could not be written.
    std::string lastReply;
    bool deadlinePassed = false;
    bool writeFailed = false;
    // Called the moment the server has taken the message (its end answered
    // with 250), before the QUIT.
    std::function<void()> onAccepted;
};

class Mailer {
  public:
    Mailer(config::Context& ctx, net::FrmMail& form);
    ~Mailer();

    MailoutState& state() { return st_; }
    net::FrmMail& form() { return form_; }

    // Sends every file waiting in the Out folder; removes each one sent. A
    // receipt that found no server in receipt_max_runs runs, or that is
    // receipt_max_days old and still fails, goes to Undelivered/.
    void SendQueuedFiles();
    // Composes the receipt for `in` (to state().gSMTPRecipAddr), queues it in
    // Out/, sends it, and removes it from Out/ when it went out. A message
    // already answered, in this run or an earlier one, gets no second
    // receipt; a recipient that is not a plain address gets none at all.
    void SendReceipt(const ReceiptInputs& in);
    // Switch /2: the test message to the subscriber's own address.
    void SendTestVoxaFax();

    // Tries the nine candidate servers in order until one takes
    // state().gMessageBody; records the outcome in account.ini. A row that
    // repeats one tried before, or names a server found unreachable earlier
    // in the run, is not tried again.
    bool SendMessage(const std::string& type);
    // Sends one message file (full path); its To: field is the recipient.
    bool SendMessageFile(const std::string& fileName);
    // Copies a sent receipt (bare name) from Out/ into MDNs/, never over
    // another copy.
    void SaveReceiptCopy(const std::string& fileName);

    // The receipt for `in`, written whole into Out/ under a hidden name
    // (`staged` receives its path, "" when it could not be written) and not
    // yet queued; `stamp` receives its time stamp, the queue name to be.
    std::string ComposeMDN(const ReceiptInputs& in, std::string& staged, std::string& stamp);
    std::string ComposeTestMessage();

    // The (server, sender) pairs SendMessage tried in its latest call.
    const std::string& LastAttempts() const { return attempts_; }
    // Why the latest SendMessage refused its recipient ("" when it did not).
    const std::string& RecipientFault() const { return recipientFault_; }

    // Where receipts go that were given up, and the ledger of answers.
    std::string UndeliveredFolder() const;
    std::string LedgerPath() const;

  private:
    ReceiptLedger& Ledger();
    void FinishStagedReceipts();
    void Delivered(const std::string& name, const std::string& text, bool keepCopy);
    // What the latest SendMessage came to, in words: each server with what
    // happened there.
    std::string Reasons() const;
    // last_error's code and what it means, for a person reading the log.
    std::string LastErrorInWords() const;
    std::string Reason(std::int32_t code, platform::Millis took) const;
    std::string ServerLabel(const std::string& server) const;
    // A receipt file of Out/ that no server took in this run.
    void AfterFailedSend(const std::string& name, const std::string& recipient,
                         std::time_t composed);
    // Moves a receipt file out of Out/ for good, and says so.
    void GiveUp(const std::string& name, const std::string& recipient, const std::string& why);

    config::Context& ctx_;
    net::FrmMail& form_;
    MailoutState st_;
    std::string attempts_;
    std::string kind_ = "message";  // what is being sent, for the status line and the log
    std::string recipientFault_;
    bool anyCandidate_ = false;  // the latest SendMessage had a row to try
    // Each server of the latest SendMessage and what happened there ("" for
    // one found unreachable earlier in the run).
    std::vector<std::pair<std::string, std::string>> tried_;
    std::map<std::string, std::int32_t> unreachable_;  // server -> its code, this run
    std::set<std::string> queuedThisRun_;              // Out/ files counted as left queued
    std::set<std::string> failedThisRun_;              // Out/ files whose failed run is counted
    std::set<std::string> warnedSenders_;
    std::unique_ptr<ReceiptLedger> ledger_;
};

}  // namespace mailout
