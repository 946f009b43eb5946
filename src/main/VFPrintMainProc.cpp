#include "main/VFPrintMainProc.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "config/Secrets.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "mailout/Mailer.h"
#include "main/RunRecord.h"
#include "net/FrmMail.h"
#include "net/SocketWrench.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Log.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "pop/PopClient.h"
#include "print/PrintForm.h"
#include "walk/InboxWalk.h"
#include "walk/IsFileDir.h"
#include "walk/PrintJournal.h"
#include "walk/Session.h"

namespace vfmain {
namespace {

const char* const kNoSchedulerText =
    "VOXA-FAX Print must be started by VOXA-FAX Scheduler\r\n"
    "Please start the scheduler and choose -\r\n"
    "'Get VOXA-FAXes Now'";

const char* const kNoProfileText =
    "No VOXA-FAX Profile!\r\n"
    "Please, either click 'Yes' to choose an existing profile or - \r\n"
    "1) Ensure you have set up a Microsoft Messaging Profile for your VOXA-FAX Address with the "
    "Profile Name 'VOXA-FAX'. You can do this with the Control Panel and the 'Mail' icon.\r\n"
    "2) Open the VOXA-FAX Print Scheduler, select the tab 'Fax Number' and enter the name of the "
    "profile in the text box 'VOXA-FAX Profile'.\r\n"
    "3) Test your setup by choosing the 'Get Voxa-Faxes NOW' button in the VOXA-FAX Print "
    "Scheduler window.";

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out.empty() ? "none" : out;
}

// The phases of a run, in the order a run usually passes them; the wake
// cycles of "/3" go back to CycleStart, the regular-fax pass to WalkEntry.
enum class Phase {
    CycleStart,
    WalkEntry,
    AfterWalk,
    LogOff,
    RegularMail,
    SameProfile,
    NormalFax,
    RegularPass,
    End
};

class Run {
  public:
    Run(config::Context& ctx, const std::string& commandLine) : ctx_(ctx), cmd_(commandLine) {}

    void Execute();

  private:
    void Write(const char* key, const std::string& value) {
        ctx_.profile.WriteProfileStringA(config::kSection, key, value);
    }
    void Status(const std::string& text) { config::WriteStatus(ctx_.profile, text); }
    std::string Switch() const { return ctx_.run.gCommandSwitch; }

    void Prepare();
    bool FirstPhase(Phase& next);
    Phase Step(Phase phase);
    bool PrinterCheck();
    // The line after a failed logon that says what to change: the key, its
    // value, stores.ini and its profiles, or the store's own reason.
    void LogonHint(const char* key, const std::string& profile);
    // Logon to the service profile with the failure dialogue; false ends the
    // program at once (the user declined).
    bool LogOnServiceProfile(Phase& next);
    Phase CycleStart();
    Phase WalkEntry();
    Phase AfterWalk();
    Phase LogOff();
    Phase RegularMail();
    Phase SameProfile();
    Phase RegularPass();
    void EndKeys();
    bool Stopping();
    bool TakeLock(std::optional<platform::InstanceLock>& slot, const std::string& path,
                  const char* kind, const std::string& name);
    bool LockStore();
    bool LockMailbox();
    // The conversion of In/ into this session's inbox.
    convert::Conversion Conversion() {
        return {ctx_.store, session_.gobjInFolder, ctx_.loop, ctx_.log,
                ctx_.run,   ctx_.cfg.gVoxaFaxAddr};
    }

    config::Context& ctx_;
    std::string cmd_;
    walk::SessionState session_;
    std::unique_ptr<print::FrmVFPrint> printForm_;
    std::unique_ptr<net::FrmMail> frmMail_;
    std::unique_ptr<mailout::Mailer> mailer_;
    std::unique_ptr<config::Secrets> secrets_;           // a POP password read once per run
    std::optional<platform::InstanceLock> storeLock_;    // held to the end of the run
    std::optional<platform::InstanceLock> mailboxLock_;  // likewise
    bool stopTold_ = false;
    bool noPrinterTold_ = false;
};

void Run::Execute() {
    Prepare();
    printForm_ =
        std::make_unique<print::FrmVFPrint>(ctx_.imaging, ctx_.loop, ctx_.cfg.gprinterName);
    frmMail_ = std::make_unique<net::FrmMail>(
        net::NetServices{ctx_.loop, ctx_.sockets, ctx_.env, ctx_.options, ctx_.cfg, ctx_.log});
    mailer_ = std::make_unique<mailout::Mailer>(mailout::ServicesOf(ctx_), *frmMail_);

    // Only the scheduler starts a run, always with a switch: a person who
    // started the program by hand is told so, and nothing more happens.
    ctx_.run.gCommandSwitch = cmd_;
    if (cmd_.empty()) {
        ctx_.dialogs.Beep();
        ctx_.dialogs.MessageBox(kNoSchedulerText, ctx_.run.gAppTitle, platform::MsgButtons::Ok);
        ctx_.run.NoteFailure(config::RunFailure::Usage);
        ctx_.log.Error(
            "started without a switch: the scheduler (voxafax-print.timer) starts it with one, "
            "such as /0; start a run by hand with voxafax run, or see voxafax-print --help");
        return;
    }
    Phase next = Phase::CycleStart;
    if (!FirstPhase(next)) return;
    while (next != Phase::End && !Stopping()) next = Step(next);
    walk::SessionLogOff(session_);
    EndKeys();
}

// A request to stop (SIGTERM) is taken between phases, and by the walk
// between faxes: what the run has not begun waits for the next one.
bool Run::Stopping() {
    if (!ctx_.loop.StopRequested()) return false;
    if (!stopTold_) {
        ctx_.run.NoteFailure(config::RunFailure::Stopped);
        ctx_.log.Warning(ctx_.loop.StopReason() +
                         ": the run stops here; what it has not done waits for the next run");
        stopTold_ = true;
    }
    return true;
}

// The keys of a starting run and its working folders.
void Run::Prepare() {
    auto& run = ctx_.run;
    // The constant texts (title, receipt boundary, banner) come first: a
    // dialogue or a receipt may need them at any point of the run. The
    // working folders hang off the program's own folder, whatever the
    // configuration's key "path" says.
    run.Init(ctx_.env.programFolder);
    // Cleared first, so that an error of a run before is never shown as
    // this run's.
    Write("last_error", "");
    config::getfaxpierinfo(ctx_.cfg, ctx_.profile);
    Write("VFPrint", "running");
    // Text pages are composed and judged, but their bodies are held back
    // unless options.ini asks for them ([print] text_pages).
    run.gflgTest = true;
    // A folder that cannot be made is no reason to stop here: the first
    // write into it fails and says so.
    (void)platform::MakeFolders(run.gTempDir);
    (void)platform::MakeFolders(run.gInDir);
    (void)platform::MakeFolders(run.gOutFolder);
    if (ctx_.cfg.gflgSaveMDNs) (void)platform::MakeFolders(run.gMDNFolder);
    // MDNs/ keeps the copies of one run only; temp/ holds no file from a
    // run before. The temp folder is emptied twice, as runs always have: a
    // pass stops at the first file it cannot delete and the second gives it
    // one more try; on an empty folder it costs one listing.
    if (platform::IsFolder(run.gMDNFolder)) walk::KillAllFiles(run.gMDNFolder);
    walk::KillAllFiles(run.gTempDir);
    walk::KillAllFiles(run.gTempDir);
    Status("Starting VOXA-FAX Print");
    Write("printing", "1");
}

// Where the switch starts the run; false when the run ends at once, without
// the end keys.
bool Run::FirstPhase(Phase& next) {
    auto& run = ctx_.run;
    auto& cfg = ctx_.cfg;
    if (Switch() == "/2") {  // the test message only
        mailer_->SendTestVoxaFax();
        next = Phase::End;
    } else if (Switch() == "/5") {  // regular mail only: no fax is printed
        run.flgDeliverNow = true;
        cfg.gNormalFaxProfile.clear();
        cfg.gflgPrintNormalFax = false;
        next = Phase::RegularMail;
    } else {
        // "/4", "/6" and any other switch run like "/0".
        if (Switch() == "/0" || Switch() == "/3") run.flgDeliverNow = true;
        if (!PrinterCheck()) return false;
        if (Switch() != "/1") return LogOnServiceProfile(next);
        // The regular-fax pass only.
        run.gflgRegularPass = !cfg.gprinterName.empty();
        next = run.gflgRegularPass ? Phase::RegularPass : Phase::End;
    }
    return true;
}

Phase Run::Step(Phase phase) {
    switch (phase) {
        case Phase::CycleStart:
            return CycleStart();
        case Phase::WalkEntry:
            return WalkEntry();
        case Phase::AfterWalk:
            return AfterWalk();
        case Phase::LogOff:
            return LogOff();
        case Phase::RegularMail:
            return RegularMail();
        case Phase::SameProfile:
            return SameProfile();
        case Phase::NormalFax:
            return ctx_.cfg.gflgPrintNormalFax ? Phase::RegularPass : Phase::End;
        case Phase::RegularPass:
            return RegularPass();
        case Phase::End:
            break;
    }
    return Phase::End;
}

// The configured printer must be installed under exactly that name (case
// counts); without one the run ends before anything is fetched, so that no
// fax is filed as printed on a printer that does not exist.
bool Run::PrinterCheck() {
    const std::string& name = ctx_.cfg.gprinterName;
    if (name.empty()) return true;  // the system's default printer stays in use
    for (const auto& p : ctx_.printers.Installed()) {
        if (p.deviceName == name) {
            ctx_.printers.SetCurrent(name);
            return true;
        }
    }
    ctx_.dialogs.Beep();
    Status("Print Error : NO or BAD PRINTER CONFIGURED !");
    ctx_.run.NoteFailure(config::RunFailure::Config);
    std::vector<std::string> installed;
    for (const auto& p : ctx_.printers.Installed()) installed.push_back("\"" + p.deviceName + "\"");
    ctx_.log.Error("Printer_Type = " + name + " in " + ctx_.env.profilePath +
                   " names no installed printer (installed: " + JoinNames(installed) +
                   "); write one of them exactly, letter case included, or add a section [" + name +
                   "] with a directory to " + ctx_.env.PrintersIni());
    return false;
}

// The store's reason names the file and the section to change; an unknown
// profile's reads on from the profile's name.
void Run::LogonHint(const char* key, const std::string& profile) {
    const platform::Status& why = session_.logonError;
    if (why.kind == platform::Fail::NotFound)
        ctx_.log.Error(std::string(key) + " = " + profile + " in " + ctx_.env.profilePath + " " +
                       why.detail + "; run voxafax setup");
    else
        ctx_.log.Error("mail-store profile " + profile + " (" + key + " in " +
                       ctx_.env.profilePath + ") cannot be opened: " + why.detail);
}

bool Run::LogOnServiceProfile(Phase& next) {
    const std::string profile = ctx_.cfg.gVoxaFaxProfile;
    if (walk::SessionLogIn(ctx_.store, session_, profile)) {
        next = Phase::CycleStart;
        return true;
    }
    ctx_.dialogs.Beep();
    auto answer = ctx_.dialogs.MessageBox(kNoProfileText, ctx_.run.gAppTitle,
                                          platform::MsgButtons::YesNoQuestion);
    LogonHint("VoxaFax_Profile", profile);
    if (answer != platform::MsgAnswer::Yes) {
        ctx_.run.NoteFailure(config::RunFailure::Config);
        return false;
    }
    Status("Print Error : NO or BAD VOXA-FAX Profile.");
    if (walk::SessionLogIn(ctx_.store, session_, profile, /*interactive=*/true)) {
        next = Phase::CycleStart;
    } else {
        ctx_.run.gLastError = "Inbox Error on profile " + profile;
        ctx_.run.NoteFailure(config::RunFailure::Config);
        next = Phase::End;
    }
    return true;
}

// A cycle: the session's profile, the inbox, the receipts waiting in Out/,
// then new mail (by POP and conversion, or by the store's own transport).
Phase Run::CycleStart() {
    auto& run = ctx_.run;
    auto& cfg = ctx_.cfg;
    if (session_.loggedOn) cfg.gVoxaFaxProfile = session_.profileName;
    Status("Logged on to profile " + cfg.gVoxaFaxProfile);
    if (session_.gobjInFolder.empty()) return Phase::AfterWalk;
    if (!LockStore()) return Phase::End;

    mailer_->SendQueuedFiles();
    // Remembered before anything is fetched: the walk reports how many
    // messages this cycle brought.
    session_.inboxCountBefore = walk::InboxCount(session_);
    // Files left in In/ by a run that ended before converting them.
    convert::ProcessInMessages(Conversion());
    run.flgDeliverNow = true;
    // Nothing new is fetched once a stop is asked for; the run loop stops
    // before the walk.
    if (ctx_.loop.StopRequested()) return Phase::WalkEntry;
    // The service address is the POP login (user part) and server (domain).
    convert::SplitAtFirst(cfg.gVoxaFaxAddr, "@", run.gLogin, run.gPOPServer);
    Status("Connecting to " + platform::Upper(run.gPOPServer));
    // POP unless the subscriber's own store fetches the mail: Use_Profile on
    // and a member status above "0" (compared as text, as the scheduler
    // writes it).
    if ((!cfg.gflgUseProfile || cfg.gMemberStatus <= "0") && LockMailbox()) {
        net::CreateSocket(*frmMail_, frmMail_->POPSocket(), "POP");
        if (!secrets_)
            secrets_ = std::make_unique<config::Secrets>(ctx_.loop, ctx_.env.OptionsIni());
        // Each message is converted as soon as it is whole, while the server
        // sends the next; the pass after the session settles them and
        // converts what is left. It outlives the client that calls it.
        convert::EarlyConversion early(Conversion());
        pop::PopClient client({ctx_.loop, ctx_.log, ctx_.profile, ctx_.env, ctx_.options, ctx_.cfg,
                               ctx_.run, *secrets_},
                              *frmMail_);
        client.takeWhole = [&early](const std::string& staged) { early.Take(staged); };
        client.staging().movedIntoIn = [&early](const std::string& from, const std::string& to) {
            early.Moved(from, to);
        };
        client.CHECKMAIL_Click();
        if (client.staging().Undelivered() > 0) early.KeepJournal();
        convert::ProcessInMessages(Conversion(), &early);
    } else if (session_.loggedOn) {
        (void)ctx_.store.DeliverNow();
    }
    // A print test fetches like any run; only the walk differs (nothing is
    // filed), so the key is read just before it.
    if (!config::ReadKey(ctx_.profile, "print_test", "").empty() || Switch() == "/7")
        run.gflgPrintTest = true;
    return Phase::WalkEntry;
}

// The walk of the inbox, for either pass. Nothing is printed, and so nothing
// walked, without a configured printer.
Phase Run::WalkEntry() {
    auto& cfg = ctx_.cfg;
    if (cfg.gprinterName.empty()) {
        cfg.gflgPrintNormalFax = false;
        // Faxes may already be gone from the server: their wait is told.
        if (!noPrinterTold_)
            ctx_.log.Warning("Printer_Type in " + ctx_.env.profilePath +
                             " is empty: no fax is printed, and the " +
                             std::to_string(walk::InboxCount(session_)) +
                             " messages of the inbox wait for the next run; write the name of an "
                             "installed printer (voxafax setup)");
        noPrinterTold_ = true;
        return Phase::LogOff;
    }
    // A pass entered after a fresh logon counts that profile's inbox.
    if (ctx_.run.gflgRegularPass) session_.inboxCountBefore = walk::InboxCount(session_);
    if (session_.gobjInFolder.empty() ||
        !walk::OpenStoreAndFolders(session_, ctx_.run.gflgRegularPass))
        return Phase::AfterWalk;
    if (ctx_.run.gflgRegularPass) Status("Printing regular faxes");
    const int now = walk::InboxCount(session_);
    Status("Checking Inbox for " + std::to_string(now - session_.inboxCountBefore) +
           " new VOXA-FAXes");
    walk::WalkInbox(ctx_, session_, *printForm_, *mailer_);
    return Phase::AfterWalk;
}

// Under "/3" the same session checks the inbox again, gWakeProbes times,
// gWakeInterval apart; the regular-fax pass always ends the run.
Phase Run::AfterWalk() {
    auto& cfg = ctx_.cfg;
    if (ctx_.run.gflgRegularPass) return Phase::LogOff;
    if (Switch() == "/3" && cfg.gWakeProbes >= 1) {
        Status("Check for Voxa-FAXes " + std::to_string(cfg.gWakeProbes));
        printForm_->WaitTimer1(platform::Millis(cfg.gWakeInterval));
        --cfg.gWakeProbes;
        return Phase::CycleStart;
    }
    return Phase::LogOff;
}

Phase Run::LogOff() {
    walk::SessionLogOff(session_);
    if (ctx_.run.gflgRegularPass) return Phase::End;
    if (!ctx_.cfg.gflgRegEmail) return Phase::NormalFax;
    return Phase::RegularMail;
}

// Lets the regular mail profile's transport fetch its mail, so that the
// user's regular mail arrives with each run.
Phase Run::RegularMail() {
    auto& cfg = ctx_.cfg;
    const std::string profile = cfg.gRegularMailProfile;
    if (!walk::SessionLogIn(ctx_.store, session_, profile)) {
        Status("Unable to retrieve email for Profile " + profile);
        ctx_.run.NoteFailure(config::RunFailure::Config);
        LogonHint("Regular_Mail_Profile", profile);
        return Phase::SameProfile;
    }
    if (ctx_.run.flgDeliverNow) {
        Status("Retrieving email for Profile " + profile);
        (void)ctx_.store.DeliverNow();
        if (session_.gobjInFolder.empty()) {
            walk::SessionLogOff(session_);
            ctx_.run.gLastError = "Inbox Error on profile " + cfg.gVoxaFaxProfile;
            return Phase::End;
        }
    }
    walk::SessionLogOff(session_);
    return Phase::SameProfile;
}

// When regular faxes arrive in the regular mail profile, the pass prints
// them from there.
Phase Run::SameProfile() {
    auto& cfg = ctx_.cfg;
    if (platform::Lower(cfg.gNormalFaxProfile) != platform::Lower(cfg.gRegularMailProfile)) {
        walk::SessionLogOff(session_);
        return Phase::NormalFax;
    }
    if (cfg.gflgPrintNormalFax) {
        // The retrieval session is already gone: log on again so that the pass
        // has a store to print from.
        walk::SessionLogIn(ctx_.store, session_, cfg.gNormalFaxProfile);
        ctx_.run.gflgRegularPass = true;
        return Phase::WalkEntry;
    }
    return Phase::NormalFax;
}

Phase Run::RegularPass() {
    // A failed logon needs no test of its own: the pass then finds no inbox
    // and ends. It is told, though, since no regular fax is printed.
    if (!walk::SessionLogIn(ctx_.store, session_, ctx_.cfg.gNormalFaxProfile)) {
        ctx_.run.NoteFailure(config::RunFailure::Config);
        LogonHint("Normal_Fax_Profile", ctx_.cfg.gNormalFaxProfile);
    }
    ctx_.run.gflgRegularPass = true;
    return Phase::WalkEntry;
}

// Takes the lock at `path` into `slot`. False only when another run holds
// it (noted as this run's failure); a lock that cannot be made at all is told
// and the run goes on without it.
bool Run::TakeLock(std::optional<platform::InstanceLock>& slot, const std::string& path,
                   const char* kind, const std::string& name) {
    auto lock = platform::InstanceLock::Acquire(path);
    if (lock) {
        slot.emplace(std::move(*lock));
        return true;
    }
    if (lock.status().kind != platform::Fail::Rejected) {
        ctx_.log.Warning(std::string(kind) + " " + name + ": " + lock.status().detail +
                         "; another profile on this " + kind + " is not kept out");
        return true;
    }
    ctx_.run.NoteFailure(config::RunFailure::AnotherRun);
    return false;
}

// Two profiles on one store (accounts set up by copying one configuration)
// must not print and answer the same faxes, nor fetch the same mailbox into
// it: the store's inbox folder is locked before anything is fetched, for the
// rest of the run. False when another run holds it.
bool Run::LockStore() {
    const std::string& inbox = session_.gobjInFolder;
    struct stat st {};
    if (storeLock_ || ::stat(inbox.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    if (TakeLock(storeLock_, inbox, "store", inbox)) return true;
    ctx_.log.Error("another voxafax-print is working on the store " + inbox + " (profile " +
                   ctx_.cfg.gVoxaFaxProfile + " of stores.ini): this run leaves it alone; " +
                   "give each account a store of its own in " + ctx_.env.StoresIni());
    return false;
}

// Two profiles on one POP3 mailbox with stores of their own would both fetch
// (and print) what the other has not deleted yet: the mailbox is locked, in
// the folder of locks this user's runs share, before the session. False
// when another run holds it: this one fetches nothing.
bool Run::LockMailbox() {
    const std::string& dir = ctx_.env.lockDir;
    if (mailboxLock_ || dir.empty()) return true;
    const config::Options& o = ctx_.options;
    const std::string mailbox = platform::Lower(
        (o.popUser.empty() ? ctx_.run.gLogin : o.popUser) + "@" +
        (o.popHost.empty() ? ctx_.run.gPOPServer : o.popHost) + ":" + std::to_string(o.popPort));
    (void)platform::MakeFolders(dir);  // the lock below reports a failure
    const std::string path = dir + "/mailbox-" + walk::MessageDigest(mailbox) + ".lock";
    if (TakeLock(mailboxLock_, path, "mailbox", mailbox)) return true;
    ctx_.log.Error("another voxafax-print is fetching the mailbox " + mailbox +
                   ": this run fetches nothing; give each mailbox one profile (Voxa_Fax_Addr in " +
                   ctx_.env.profilePath + ")");
    return false;
}

// The keys the scheduler reads at the end of every run, in the order it
// expects them; VFPrint "quit" last tells it the run is over.
void Run::EndKeys() {
    auto& run = ctx_.run;
    Write("last_error", config::LastErrorValue(run));
    Status(" Printed " + std::to_string(run.gVFPrinted) + " VOXA-FAXes + " +
           std::to_string(run.gRegPrinted) + " Regular Faxes");
    Write("printing", "0");
    Write("session", std::to_string(run.gVFPrinted) + "," + std::to_string(run.gVFUnprintable) +
                         "," + std::to_string(run.gRegPrinted) + "," +
                         std::to_string(run.gFourthCounter));
    Write("totals", "0,0,0,0");
    Write("VFPrint", "quit");
}

// The run log's last line: what the run did and how it ended.
void EndLine(config::Context& ctx, int exitStatus, platform::SteadyTime started) {
    const auto& run = ctx.run;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(ctx.loop.clock().Now() - started)
            .count();
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f", static_cast<double>(ms) / 1000.0);
    std::string line = "ended " + (run.gCommandSwitch.empty() ? std::string("without a switch")
                                                              : run.gCommandSwitch);
    line += " after " + std::string(secs) + " s: printed " + std::to_string(run.gVFPrinted) +
            " VOXA-FAXes + " + std::to_string(run.gRegPrinted) + " Regular Faxes";
    if (run.gVFUnprintable + run.gRegUnprintable > 0)
        line += ", " + std::to_string(run.gVFUnprintable + run.gRegUnprintable) + " unprintable";
    line += "; exit status " + std::to_string(exitStatus) + " (" + ExitMeaning(exitStatus) + ")";
    ctx.log.Info(line);
}

}  // namespace

int Main(config::Context& ctx, const std::string& commandLine) {
    const platform::SteadyTime started = ctx.loop.clock().Now();
    RunRecord record(ctx.env.programFolder, commandLine, ctx.env.profilePath, started);
    (void)platform::MakeFolders(ctx.env.programFolder);  // the record's write reports a failure
    ctx.log.Info("start " + (commandLine.empty() ? std::string("without a switch") : commandLine) +
                 ", profile " + ctx.env.profilePath);
    if (platform::Status st = record.WriteRunning(); !st)
        ctx.log.Warning("record of the run: " + st.detail);
    int exitStatus = kExitOk;
    try {
        Run run(ctx, commandLine);
        run.Execute();
        exitStatus = ExitStatusOf(ctx.run.failure);
    } catch (const std::exception& e) {
        // Nothing below is meant to throw; if something does, the run ends
        // with the status for an internal failure and says why.
        ctx.log.Error(std::string("internal error: ") + e.what() +
                      "; the run stopped; please report this with the run log");
        exitStatus = kExitInternal;
    } catch (...) {
        ctx.log.Error("internal error; the run stopped; please report this with the run log");
        exitStatus = kExitInternal;
    }
    EndLine(ctx, exitStatus, started);
    if (platform::Status st =
            record.WriteEnded(exitStatus, ctx.run, ctx.log, ctx.loop.clock().Now());
        !st)
        ctx.log.Warning("record of the run: " + st.detail);
    return exitStatus;
}

}  // namespace vfmain
