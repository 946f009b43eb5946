#pragma once
// The second half of the inbox walk: a message that the walk has classified
// and whose attachments it has checked is printed here (the header page in
// the configured style, then each good attachment; a regular fax as its one
// image), judged printed or unprintable, counted in the run's totals,
// answered with a receipt when one is due, and recorded for filing.
#include <string>

namespace config {
struct Context;
}
namespace platform {
class MailMessage;
}
namespace print {
class FrmVFPrint;
}
namespace mailout {
class Mailer;
}

namespace vfmain {

struct SessionState;
struct WalkState;

class PrintDispatch {
  public:
    // Works on the walk's state of the message in hand, `w`.
    PrintDispatch(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                  mailout::Mailer& mailer, WalkState& w);

    // A VOXA-FAX; false on a fatal printer error, when the message is
    // neither counted nor recorded for filing.
    bool PrintVoxaFax(platform::MailMessage& msg);
    // A fax from another gateway: attachment 1 printed as an image. Regular
    // faxes get no receipt.
    void PrintRegularFax(platform::MailMessage& msg);
    // Sends the receipt for the message in hand, to the mailer's
    // gSMTPRecipAddr, with the walk's gDispositionType.
    void SendReceipt();

  private:
    bool PrintText(std::string text, bool flgPageHdr);
    void BuildPageText();
    bool PrintHeaderPages();

    config::Context& ctx_;
    SessionState& s_;
    print::FrmVFPrint& form_;
    mailout::Mailer& mailer_;
    WalkState& w_;
};

}  // namespace vfmain
