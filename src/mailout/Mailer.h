#pragma once
// Outgoing mail as the rest of the program calls it: queued receipt files,
// receipts for the message in hand, and the test message.
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mailout/SMTPprocedures.h"
#include "mailout/Services.h"
#include "platform/Result.h"

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

// One server to try, with the envelope sender and how to talk to it.
struct Candidate {
    std::string server;
    std::string sender;
    DialogueSettings settings;
};

// What a probe of the path out found: the server, what it advertised in
// its (last) EHLO reply, and how far the dialogue got.
struct SmtpProbe {
    bool ok = false;          // the envelope was taken: a message would go
    std::string server;       // "relay host:port" or "host:port"
    std::string extensions;   // the EHLO reply's extension lines, upper case
    bool startedTls = false;  // STARTTLS was used
    bool loggedIn = false;    // the login was accepted
    std::string why;          // what went wrong and what to change ("" when ok)
};

class Mailer {
  public:
    Mailer(Services services, net::FrmMail& form);
    ~Mailer();

    MailoutState& state() { return st_; }
    net::FrmMail& form() { return form_; }

    // Sends the files waiting in the Out folder that are due, and removes
    // each one sent. A receipt that failed is retried at growing intervals;
    // it goes to Undelivered/ only when it is receipt_max_days old and
    // servers were asked about it in receipt_max_runs runs.
    void SendQueuedFiles();
    // Composes the receipt for `in` (to state().gSMTPRecipAddr), queues it in
    // Out/, sends it, and removes it from Out/ when it went out. A message
    // already answered, in this run or an earlier one, gets no second
    // receipt; a recipient that is not one plain address gets none at all.
    // False when the receipt could not be recorded or queued (a storage
    // failure, in last_error); a receipt that only found no server is queued
    // and counts as handled.
    bool SendReceipt(const ReceiptInputs& in);
    // Switch /2: the test message to the subscriber's own address.
    void SendTestVoxaFax();

    // Tries the candidate servers in order until one takes
    // state().gMessageBody; records the outcome in account.ini.
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

    // The candidates for a recipient's domain: the relay, the nine rows (or
    // the domain's mail exchangers in place of rows 1 and 2), in order.
    std::vector<Candidate> Candidates(const std::string& domain);

    // Setup and check: the dialogue a message from the subscriber to
    // `recipient` has with the relay (else User_SMTP_Server), up to RCPT
    // TO, then RSET and QUIT. Nothing is sent and nothing is recorded.
    SmtpProbe Probe(const std::string& recipient);

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
    // The relay's dialogue settings, its password fetched on first use;
    // false (and logged once) when there is no password to log in with.
    bool RelaySettings(DialogueSettings& out);
    std::vector<std::string> DirectServers(const std::string& domain);
    // One candidate's dialogue, recorded in the attempts and reasons.
    bool TryCandidate(const Candidate& c, std::size_t row);
    // What the latest SendMessage came to, in words: each server with what
    // happened there.
    std::string Reasons() const;
    // last_error's code and what it means, for a person reading the log.
    std::string LastErrorInWords() const;
    std::string Reason(std::int32_t code) const;
    std::string ServerLabel(const std::string& server) const;
    // A receipt file of Out/ that no server took in this run.
    void AfterFailedSend(const std::string& name, const std::string& recipient,
                         std::time_t composed);
    // Not yet time to try `name` again: when it is due.
    std::time_t DueAt(const std::string& name);
    // Moves a receipt file out of Out/ for good, and says so.
    void GiveUp(const std::string& name, const std::string& recipient, const std::string& why);
    // A receipt that cannot be recorded or queued: last_error and the log.
    bool StorageFailure(const std::string& what);

    Services sv_;
    net::FrmMail& form_;
    MailoutState st_;
    std::unique_ptr<config::Secrets> ownSecrets_;
    std::unique_ptr<platform::MailExchangers> ownMx_;
    bool relayUnusable_ = false;  // no password for the relay: said once
    std::string attempts_;
    std::string sentVia_;           // host:port of the server that took the latest message
    std::string kind_ = "message";  // what is being sent, for the log
    std::string recipientFault_;
    bool anyCandidate_ = false;  // the latest SendMessage had a row to try
    bool askedAServer_ = false;  // ... and a server answered in it
    // Each server of the latest SendMessage and what happened there.
    std::vector<std::pair<std::string, std::string>> tried_;
    std::set<std::string> queuedThisRun_;  // Out/ files counted as left queued
    std::set<std::string> failedThisRun_;  // Out/ files whose failed run is counted
    std::set<std::string> warnedSenders_;
    std::unique_ptr<ReceiptLedger> ledger_;
};

}  // namespace mailout
