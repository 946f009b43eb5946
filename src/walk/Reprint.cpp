#include "walk/Reprint.h"

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Printers.h"
#include "print/PrintForm.h"
#include "walk/InboxWalk.h"
#include "walk/IsFileDir.h"
#include "walk/Session.h"

namespace walk {
namespace {

int Status(config::RunFailure failure) {
    return static_cast<int>(failure);
}

// The printer of the reprint made current; false (and said) when it is not installed.
bool ChoosePrinter(config::Context& ctx, const std::string& name) {
    if (name.empty()) return true;  // the system's default printer
    for (const auto& p : ctx.printers.Installed()) {
        if (p.deviceName == name) return ctx.printers.SetCurrent(name);
    }
    ctx.log.Error("printer \"" + name + "\" is not installed; name one of voxafax check's, or " +
                  "a folder printer of " + ctx.env.PrintersIni());
    return false;
}

}  // namespace

int Reprint(config::Context& ctx, const std::string& messageId, const std::string& printer) {
    auto& run = ctx.run;
    run.Init(ctx.env.programFolder);
    config::getfaxpierinfo(ctx.cfg, ctx.profile);
    run.Init(ctx.env.programFolder);
    // Header pages are composed and sent as a run sends them; as in a print
    // test, nothing of what is printed is recorded.
    run.gflgTest = true;
    run.gflgPrintTest = true;
    (void)platform::MakeFolders(run.gTempDir);
    const std::string printerName = printer.empty() ? ctx.cfg.gprinterName : printer;
    if (!ChoosePrinter(ctx, printerName)) return Status(config::RunFailure::Config);

    SessionState session;
    if (!SessionLogIn(ctx.store, session, ctx.cfg.gVoxaFaxProfile)) {
        ctx.log.Error("mail store profile \"" + ctx.cfg.gVoxaFaxProfile +
                      "\": cannot log on: " + session.logonError.detail);
        SessionLogOff(session);
        return Status(config::RunFailure::Config);
    }
    print::FrmVFPrint printForm(ctx.imaging, ctx.loop, printerName);
    net::FrmMail mailForm(
        net::NetServices{ctx.loop, ctx.sockets, ctx.env, ctx.options, ctx.cfg, ctx.log});
    mailout::Mailer mailer(mailout::ServicesOf(ctx), mailForm);
    std::string why;
    const Reprinted done = ReprintMessage(ctx, session, printForm, mailer, messageId, why);
    (void)KillAllFiles(run.gTempDir);
    SessionLogOff(session);
    switch (done) {
        case Reprinted::Printed:
            return 0;
        case Reprinted::NotFound:
            ctx.log.Error("no message \"" + messageId + "\" in the store (" + why +
                          "); a run may have filed it since, which gives it a new ID");
            return kReprintNothing;
        case Reprinted::NotAFax:
            ctx.log.Error("message \"" + messageId + "\" is no fax for " + ctx.cfg.gVoxaFaxAddr +
                          "; nothing was printed");
            return kReprintNothing;
        case Reprinted::Failed:
            break;
    }
    ctx.log.Error("printer \"" + ctx.printers.Current() +
                  "\": " + (why.empty() ? std::string("the fax could not be printed") : why));
    return Status(config::RunFailure::Printing);
}

}  // namespace walk
