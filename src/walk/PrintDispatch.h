#pragma once
// The second half of the inbox walk: a message that the walk has classified
// and whose attachments it has checked is printed here (the header page in
// the configured style, then each good attachment; a regular fax as its one
// image), judged printed or unprintable, counted in the run's totals,
// answered with a receipt when one is due, and recorded for filing.
#include <string>

#include "platform/MailStore.h"

namespace config {
struct Context;
}
namespace print {
class FrmVFPrint;
}
namespace mailout {
class Mailer;
}

namespace walk {

struct SessionState;
struct WalkState;
class PrintProgress;

// What a message is for the run log: `fax from alice@example.net "Invoice"`.
std::string Describe(const char* kind, const std::string& from, const std::string& subject);

class PrintDispatch {
  public:
    // Works on the walk's state of the message in hand, `w`. What was
    // printed of each fax is kept in `progress` as it goes.
    PrintDispatch(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                  mailout::Mailer& mailer, WalkState& w, PrintProgress& progress);

    // A VOXA-FAX; false on a fatal printer error, when the message is
    // neither counted nor recorded for filing (FatalReason() says why).
    // A fax that an earlier run printed but could not file (its Printed
    // mark) is filed without printing it again, and answered only if that
    // run did not answer it (its Answered mark).
    bool PrintVoxaFax(const platform::StoredMessage& msg);
    // A fax from another gateway: attachment 1 printed as an image. Regular
    // faxes get no receipt.
    void PrintRegularFax(const platform::StoredMessage& msg);
    // Sends the receipt for the message in hand, to the mailer's
    // gSMTPRecipAddr, with the walk's gDispositionType, and marks the
    // message answered.
    void SendReceipt(const platform::StoredMessage& msg);

    // Prints the message in hand again as PrintVoxaFax (or, `regular`,
    // PrintRegularFax) printed it: the header page and each good file, or
    // the one image. Nothing is counted, marked, recorded for filing or
    // answered; the run must be a print test, so that no progress is kept.
    // False on a failure of the printer (FatalReason() says why) or, for a
    // regular fax, of its image.
    bool PrintAgain(const platform::StoredMessage& msg, bool regular);

    const std::string& FatalReason() const { return fatal_; }

  private:
    // One document of the fax in hand (a header page, a file), counted so
    // that a run that resumes the fax skips those already printed.
    bool SkipDocument(const char* kind);
    void BeginFax(bool printedBefore);
    void LogPrinted(const std::string& what, bool printedBefore);
    void DocumentDone();
    bool PrintText(std::string text, bool flgPageHdr);
    void BuildPageText();
    bool PrintHeaderPages();
    bool PrintFiles(bool& fileFailure);
    // Marks the message (durably) before the step that the mark guards.
    void Mark(const platform::StoredMessage& msg, platform::MessageMark mark);
    void NoteDelivery();

    config::Context& ctx_;
    SessionState& s_;
    print::FrmVFPrint& form_;
    mailout::Mailer& mailer_;
    WalkState& w_;
    PrintProgress& progress_;

    // The fax in hand: documents seen, documents printed before, pages sent,
    // where they went, why printing stopped.
    int document_ = 0;
    int doneBefore_ = 0;
    bool resumed_ = false;  // an earlier run began this fax and did not file it
    std::string msgKey_;    // names the fax's documents at the printer
    int pages_ = 0;
    int deliveryCount_ = 0;
    std::string deliveries_;
    std::string fatal_;
};

}  // namespace walk
