// Receipts for the message in hand: composed, recorded as the message's one
// answer, queued in Out/ and sent.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "mailout/Compose.h"
#include "mailout/Mailer.h"
#include "mailout/ReceiptLedger.h"
#include "mailout/SafeText.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace mailout {
std::string Mailer::UndeliveredFolder() const {
    return sv_.run.gAppPath + "/Undelivered/";
}

std::string Mailer::LedgerPath() const {
    return sv_.run.gAppPath + "/receipts.ledger";
}

ReceiptLedger& Mailer::Ledger() {
    if (!ledger_) {
        ledger_ = std::make_unique<ReceiptLedger>(LedgerPath());
        ledger_->Load(sv_.wallNow());
        FinishStagedReceipts();
    }
    return *ledger_;
}

// A run that ended between recording a receipt and giving it its name in
// Out/ left it staged: it is queued now, so that it is sent once, neither
// lost nor composed again. A staged file the ledger does not name was never
// recorded (the message gets its receipt when it is walked again) and goes.
void Mailer::FinishStagedReceipts() {
    const std::string& out = sv_.run.gOutFolder;
    std::set<std::string> known;
    bool changed = false;
    for (const auto& [key, staged] : ledger_->Staged()) {
        known.insert(staged);
        const std::string path = out + staged;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            // Two links: it got its name and only the hidden one is left over.
            if (st.st_nlink > 1 ||
                !PublishReceiptFile(out, StampAt(st.st_mtime).stamp, path).empty())
                ::unlink(path.c_str());
            else
                continue;  // it stays staged; the next run tries again
        }
        ledger_->Settle(key);
        changed = true;
    }
    if (auto names = platform::ListFolder(out)) {
        for (const std::string& name : *names)
            if (name.starts_with(kStagedPrefix) && !known.count(name))
                ::unlink((out + name).c_str());
    }
    if (changed) (void)ledger_->Save();
}

std::string Mailer::ComposeMDN(const ReceiptInputs& in, std::string& staged, std::string& stamp) {
    const LocalStamp now = StampAt(sv_.wallNow());
    std::string text =
        ComposeMDNText(in, st_.gSMTPRecipAddr, sv_.cfg, sv_.run, now, sv_.options.smtpStandards);
    staged = StageReceiptFile(sv_.run.gOutFolder, text);
    stamp = now.stamp;
    return text;
}

bool Mailer::StorageFailure(const std::string& what) {
    sv_.run.gLastError = "Storage Error : " + what;
    sv_.run.NoteFailure(config::RunFailure::Storage);
    sv_.log.Error(what);
    return false;
}

bool Mailer::SendReceipt(const ReceiptInputs& in) {
    const std::time_t now = sv_.wallNow();
    const std::string about = "receipt for \"" + HeaderText(in.gSubject) + "\"";
    ReceiptLedger& ledger = Ledger();
    const std::string key = ReceiptKey(in);
    if (const std::time_t when = ledger.AnsweredAt(key)) {
        sv_.log.Info(about + " to " + st_.gSMTPRecipAddr +
                     " not sent: the message was answered on " + DateForLog(when) + " already");
        return true;
    }
    std::string address, why;
    if (!ReduceRecipient(st_.gSMTPRecipAddr, address, why)) {
        sv_.log.Warning(about + " not sent: its recipient \"" + HeaderText(st_.gSMTPRecipAddr) +
                        "\" is refused (" + why + ")");
        return true;
    }
    // The receipt is written under a hidden name, recorded, and only then
    // queued under its name: a run that ends anywhere in between leaves
    // either nothing recorded (the message is answered when walked again)
    // or a recorded receipt that the next run queues.
    std::string staged, stamp;
    st_.gMessageBody = ComposeMDN(in, staged, stamp);
    const std::size_t slash = staged.rfind('/');
    ledger.NoteAnswered(key, now, staged.empty() ? "" : staged.substr(slash + 1));
    const platform::Status saved = ledger.Save();
    std::string name;
    if (!staged.empty()) {
        name = PublishReceiptFile(sv_.run.gOutFolder, stamp, staged);
        if (name.empty()) ::unlink(staged.c_str());
    }
    // The answer stays known for the rest of the run either way: the
    // message is never answered twice in one run.
    ledger.Settle(key);
    if (!saved) {
        // Sent now, it could be sent again by a later run that walks the
        // message anew; queued, it goes once, with the next run's queue.
        return StorageFailure(about + " to " + address +
                              (name.empty() ? " is lost" : " waits in Out/") +
                              ": cannot record it in " + ledger.path() + ": " + saved.detail);
    }
    if (st_.gSMTPSenderAddr.empty()) st_.gSMTPSenderAddr = sv_.cfg.gVoxaFaxAddr;
    kind_ = "receipt";
    const std::string text = st_.gMessageBody;
    st_.onAccepted = [&] { Delivered(name, text, true); };
    const bool sent = SendMessage("MDN+" + in.gDispositionType);
    st_.onAccepted = nullptr;
    if (sent) {
        ++sv_.run.stats.receiptsSent;
        sv_.log.Info("receipt to " + address + " sent via " + sentVia_ + " (" +
                     in.gDispositionType + ")");
        return true;
    }
    if (name.empty())
        return StorageFailure("receipt to " + address + " is lost: no server took it (" +
                              Reasons() + ") and it cannot be queued in " + sv_.run.gOutFolder);
    AfterFailedSend(name, address, now);  // it waits in Out/ for a later run
    return true;
}

}  // namespace mailout
