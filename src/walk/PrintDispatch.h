#pragma once
// The second half of the inbox walk: a message that the walk has classified
// and whose attachments it has checked is printed here (the header page in
// the configured style, then each good attachment; a regular fax as its one
// image), judged printed or unprintable, counted in the run's totals,
// answered with a receipt when one is due, and recorded for filing.
#include <string>

#include "platform/MailStore.h"
#include "walk/PrintJournal.h"

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

// What a message is for the run log: `fax from alice@example.net "Invoice"`.
std::string Describe(const char* kind, const std::string& from, const std::string& subject);

// Why the walk cannot go on past the message in hand, which is then neither
// counted nor filed and stays in the inbox for the next run.
enum class WalkStop {
    None,
    Printer,  // the printer is gone: "Print Error : Fatal Printer Error"
    Storage,  // a file of the program (temp/, the journal, the receipt ledger) cannot be written
};

class PrintDispatch {
  public:
    // Works on the walk's state of the message in hand, `w`. What becomes of
    // each fax is kept in `journal` as it goes.
    PrintDispatch(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                  mailout::Mailer& mailer, WalkState& w, PrintJournal& journal);

    // A VOXA-FAX. A fax that an earlier run began is resumed: no document
    // that went to the printer goes again, and a fax whose verdict is known
    // (the journal, or its Printed mark) is filed and answered under it
    // without printing anything.
    WalkStop PrintVoxaFax(const platform::StoredMessage& msg);
    // A fax from another gateway: attachment 1 printed as an image. Regular
    // faxes get no receipt.
    WalkStop PrintRegularFax(const platform::StoredMessage& msg);
    // Sends the receipt for the message in hand, to the mailer's
    // gSMTPRecipAddr, with the walk's gDispositionType, and marks the
    // message answered. False when the receipt could not be recorded (a
    // storage failure: the message must not be filed).
    bool SendReceipt(const platform::StoredMessage& msg);

    // Prints the message in hand again as PrintVoxaFax (or, `regular`,
    // PrintRegularFax) printed it: the header page and each good file, or
    // the one image. Nothing is counted, marked, recorded for filing or
    // answered; the run must be a print test, so that no progress is kept.
    // False on a failure of the printer (FatalReason() says why) or, for a
    // regular fax, of its image.
    bool PrintAgain(const platform::StoredMessage& msg, bool regular);

    // Why the walk stopped: the printer's or the file system's words.
    const std::string& FatalReason() const { return fatal_; }

  private:
    enum class Doc { Print, Printed, Failed };
    // Document n of the fax in hand (the header page, a file): whether to
    // print it, or what became of it in an earlier run.
    Doc Document(const char* kind, std::string& report);
    bool Journaled(const platform::Status& st);
    bool DocumentPrinted(int pages);
    bool DocumentFailed(const std::string& report);
    // The page cap of one fax: false (and the fax marked as capped) when
    // `pages` more would pass it.
    bool Fits(int pages);
    WalkStop Storage(const std::string& why);
    WalkStop BeginFax(const platform::StoredMessage& msg);
    void LogOutcome(const std::string& what, bool processed);
    void NoteDelivery();
    int TextPages(const std::string& text, bool flgPageHdr);
    bool PrintText(std::string text, bool flgPageHdr);
    void BuildPageText();
    bool PrintPage(std::string text, bool& fileFailure);
    bool PrintHeaderPages(bool& fileFailure);
    bool PrintFiles(bool& fileFailure);
    bool PrintImage(const std::string& path, const std::string& name, bool& fileFailure);
    bool PrintTextFile(const std::string& path, const std::string& name, bool& fileFailure);
    void ReportFailure(const std::string& name, const std::string& report, bool& fileFailure);
    WalkStop Answer(const platform::StoredMessage& msg, bool processed);
    // Marks the message (durably) before the step that the mark guards.
    void Mark(const platform::StoredMessage& msg, platform::MessageMark mark);
    void ResetFax();

    config::Context& ctx_;
    SessionState& s_;
    print::FrmVFPrint& form_;
    mailout::Mailer& mailer_;
    WalkState& w_;
    PrintJournal& journal_;

    // The fax in hand.
    const FaxRecord* record_ = nullptr;  // what earlier runs did, if any began it
    Verdict decided_ = Verdict::None;    // its verdict, when an earlier run reached one
    bool journaling_ = false;            // each step is kept in the journal
    bool resumed_ = false;               // an earlier run began it and did not file it
    int document_ = 0;                   // documents seen so far
    std::string msgKey_;                 // names the fax's documents at the printer
    int pages_ = 0;                      // pages sent to the printer in this run
    int faxPages_ = 0;                   // ... and by earlier runs, for the cap
    bool capped_ = false;                // the page cap was reached
    std::string cappedAt_;               // the first document it left out
    int deliveryCount_ = 0;
    std::string deliveries_;
    std::string fatal_;
    WalkStop stop_ = WalkStop::None;
};

}  // namespace walk
