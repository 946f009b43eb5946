#pragma once
// Outgoing mail as the rest of the program calls it: queued receipt files,
// receipts for the message in hand, and the test message.
#include <cstdint>
#include <memory>
#include <string>

#include "mailout/SMTPprocedures.h"

namespace config {
struct Context;
}

namespace net {
class FrmMail;
}

namespace mailout {

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
};

class Mailer {
  public:
    Mailer(config::Context& ctx, net::FrmMail& form);
    ~Mailer();

    MailoutState& state() { return st_; }
    net::FrmMail& form() { return form_; }

    // Sends every file waiting in the Out folder; removes each one sent.
    void SendQueuedFiles();
    // Composes the receipt for `in` (to state().gSMTPRecipAddr), queues it in
    // Out/, sends it, and removes it from Out/ when it went out.
    void SendReceipt(const ReceiptInputs& in);
    // Switch /2: the test message to the subscriber's own address.
    void SendTestVoxaFax();

    // Tries the nine candidate servers in order until one takes
    // state().gMessageBody; records the outcome in account.ini.
    bool SendMessage(const std::string& type);
    // Sends one message file (full path); its To: field is the recipient.
    bool SendMessageFile(const std::string& fileName);
    // Copies a sent receipt (bare name) from Out/ into MDNs/.
    void SaveReceiptCopy(const std::string& fileName);

    // The receipt for `in`, queued in Out/ (fileName receives its bare name,
    // "" when it could not be written).
    std::string ComposeMDN(const ReceiptInputs& in, std::string& fileName);
    std::string ComposeTestMessage();

    // The (server, sender) pairs SendMessage tried in its latest call.
    const std::string& LastAttempts() const { return attempts_; }

  private:
    config::Context& ctx_;
    net::FrmMail& form_;
    MailoutState st_;
    std::string attempts_;
};

}  // namespace mailout
