#include "main/VFPrintMainProc.h"

#include <cstdio>
#include <memory>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "mailout/Mailer.h"
#include "main/InboxWalk.h"
#include "main/IsFileDir.h"
#include "main/Session.h"
#include "net/FrmMail.h"
#include "net/SocketWrench.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "pop/PopClient.h"
#include "print/PrintForm.h"

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

// The steps of the run that other steps jump to.
enum class Step {
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

    int Execute();

  private:
    void Write(const char* key, const std::string& value) {
        ctx_.profile.WriteProfileStringA(config::kSection, key, value);
    }
    void Status(const std::string& text) { config::WriteStatus(ctx_.profile, text); }
    std::string Switch() const { return ctx_.run.gCommandSwitch; }

    bool PrinterCheck();
    // Logon to the service profile with the failure dialogue; false ends the
    // program at once (the user declined).
    bool LogOnServiceProfile(Step& next);
    Step CycleStart();
    Step WalkEntry();
    Step AfterWalk();
    Step LogOff();
    Step RegularMail();
    Step SameProfile();
    Step RegularPass();
    void EndKeys();

    int InboxCount() {
        if (!session_.gobjInFolder) return 0;
        auto n = session_.gobjInFolder->MessageCount();
        return n ? *n : 0;
    }

    config::Context& ctx_;
    std::string cmd_;
    SessionState session_;
    std::unique_ptr<print::FrmVFPrint> printForm_;
    std::unique_ptr<net::FrmMail> frmMail_;
    std::unique_ptr<mailout::Mailer> mailer_;
};

int Run::Execute() {
    auto& run = ctx_.run;
    auto& cfg = ctx_.cfg;
    // Steps 2 and 3: constant texts.
    run.Init(ctx_.env.programFolder);
    // Step 4.
    Write("last_error", "");
    // Step 5.
    config::getfaxpierinfo(cfg, ctx_.profile);
    // Step 6.
    Write("VFPrint", "running");
    // Step 7: the program's own folder wins over the key "path".
    run.Init(ctx_.env.programFolder);
    run.gflgTest = true;
    // Step 8.
    // A folder that cannot be made is no reason to stop here: the first
    // write into it fails and says so.
    (void)platform::MakeFolders(run.gTempDir);
    (void)platform::MakeFolders(run.gInDir);
    (void)platform::MakeFolders(run.gOutFolder);
    if (cfg.gflgSaveMDNs) (void)platform::MakeFolders(run.gMDNFolder);
    // Step 9.
    if (DirExists(run.gMDNFolder)) KillAllFiles(run.gMDNFolder);
    KillAllFiles(run.gTempDir);
    KillAllFiles(run.gTempDir);
    // Step 10.
    Status("Starting VOXA-FAX Print");
    Write("printing", "1");

    printForm_ = std::make_unique<print::FrmVFPrint>(ctx_);
    frmMail_ = std::make_unique<net::FrmMail>(ctx_);
    mailer_ = std::make_unique<mailout::Mailer>(ctx_, *frmMail_);

    // Step 11.
    run.gCommandSwitch = cmd_;
    if (cmd_.empty()) {
        ctx_.dialogs.Beep();
        ctx_.dialogs.MessageBox(kNoSchedulerText, run.gAppTitle, platform::MsgButtons::Ok);
        return 0;
    }
    Step next = Step::CycleStart;
    if (Switch() == "/2") {  // step 12
        mailer_->SendTestVoxaFax();
        next = Step::End;
    } else if (Switch() == "/5") {  // step 13
        run.flgDeliverNow = true;
        cfg.gNormalFaxProfile.clear();
        cfg.gflgPrintNormalFax = false;
        next = Step::RegularMail;
    } else {
        if (Switch() == "/0" || Switch() == "/3") run.flgDeliverNow = true;  // step 14
        if (!PrinterCheck()) return 0;                                       // step 15
        if (Switch() == "/1") {                                              // step 16
            if (cfg.gprinterName.empty()) {
                next = Step::End;
            } else {
                run.gflgRegularPass = true;
                next = Step::RegularPass;
            }
        } else if (!LogOnServiceProfile(next)) {  // step 17
            return 0;
        }
    }

    while (next != Step::End) {
        switch (next) {
            case Step::CycleStart:
                next = CycleStart();
                break;
            case Step::WalkEntry:
                next = WalkEntry();
                break;
            case Step::AfterWalk:
                next = AfterWalk();
                break;
            case Step::LogOff:
                next = LogOff();
                break;
            case Step::RegularMail:
                next = RegularMail();
                break;
            case Step::SameProfile:
                next = SameProfile();
                break;
            case Step::NormalFax:
                next = ctx_.cfg.gflgPrintNormalFax ? Step::RegularPass : Step::End;  // step 32
                break;
            case Step::RegularPass:
                next = RegularPass();
                break;
            case Step::End:
                break;
        }
    }
    EndKeys();  // step 34
    return 0;
}

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
    return false;
}

bool Run::LogOnServiceProfile(Step& next) {
    const std::string profile = ctx_.cfg.gVoxaFaxProfile;
    if (SessionLogIn(ctx_, session_, profile)) {
        next = Step::CycleStart;
        return true;
    }
    ctx_.dialogs.Beep();
    auto answer = ctx_.dialogs.MessageBox(kNoProfileText, ctx_.run.gAppTitle,
                                          platform::MsgButtons::YesNoQuestion);
    if (answer != platform::MsgAnswer::Yes) return false;
    Status("Print Error : NO or BAD VOXA-FAX Profile.");
    if (SessionLogIn(ctx_, session_, profile, /*interactive=*/true)) {
        next = Step::CycleStart;
    } else {
        ctx_.run.gLastError = "Inbox Error on profile " + profile;
        next = Step::End;
    }
    return true;
}

// Steps 18 to 25.
Step Run::CycleStart() {
    auto& run = ctx_.run;
    auto& cfg = ctx_.cfg;
    if (session_.gblobjSession) {
        if (auto name = session_.gblobjSession->Name()) cfg.gVoxaFaxProfile = *name;
    }
    Status("Logged on to profile " + cfg.gVoxaFaxProfile);
    session_.gobjInFolder.reset();
    if (session_.gblobjSession) {
        if (auto inbox = session_.gblobjSession->Inbox(); inbox && *inbox)
            session_.gobjInFolder = *inbox;
    }
    if (!session_.gobjInFolder) return Step::AfterWalk;

    mailer_->SendQueuedFiles();                               // step 19
    session_.inboxCountBefore = InboxCount();                 // step 20
    convert::ProcessInMessages(ctx_, session_.gobjInFolder);  // step 21
    run.flgDeliverNow = true;                                 // step 22
    convert::SplitAtFirst(cfg.gVoxaFaxAddr, "@", run.gLogin, run.gPOPServer);
    Status("Connecting to " + platform::Upper(run.gPOPServer));  // step 23
    if (!cfg.gflgUseProfile || cfg.gMemberStatus <= "0") {       // step 24
        net::CreateSocket(*frmMail_, frmMail_->POPSocket(), "POP");
        pop::PopClient client(ctx_, *frmMail_);
        client.CHECKMAIL_Click();
        convert::ProcessInMessages(ctx_, session_.gobjInFolder);
    } else if (session_.gblobjSession) {
        (void)session_.gblobjSession->DeliverNow();
    }
    // Step 25.
    if (!config::ReadKey(ctx_.profile, "print_test", "").empty() || Switch() == "/7")
        run.gflgPrintTest = true;
    return Step::WalkEntry;
}

// Steps 26 and 27.
Step Run::WalkEntry() {
    auto& cfg = ctx_.cfg;
    if (cfg.gprinterName.empty()) {
        cfg.gflgPrintNormalFax = false;
        return Step::LogOff;
    }
    if (ctx_.run.gflgRegularPass && session_.gblobjSession) {
        // A pass entered after a fresh logon opens that session's inbox.
        session_.gobjInFolder.reset();
        if (auto inbox = session_.gblobjSession->Inbox(); inbox && *inbox)
            session_.gobjInFolder = *inbox;
        session_.inboxCountBefore = InboxCount();
    }
    if (!session_.gobjInFolder || !OpenStoreAndFolders(ctx_, session_)) return Step::AfterWalk;
    (void)InboxCount();
    const int now = InboxCount();
    Status("Checking Inbox for " + std::to_string(now - session_.inboxCountBefore) +
           " new VOXA-FAXes");
    session_.moves.clear();
    session_.moveCount = 0;
    WalkInbox(ctx_, session_, *printForm_, *mailer_);
    return Step::AfterWalk;
}

// Step 28.
Step Run::AfterWalk() {
    auto& cfg = ctx_.cfg;
    if (ctx_.run.gflgRegularPass) return Step::LogOff;
    if (Switch() == "/3" && cfg.gWakeProbes >= 1) {
        Status("Check for Voxa-FAXes " + std::to_string(cfg.gWakeProbes));
        printForm_->WaitTimer1(platform::Millis(cfg.gWakeInterval));
        --cfg.gWakeProbes;
        return Step::CycleStart;
    }
    return Step::LogOff;
}

// Step 29.
Step Run::LogOff() {
    SessionLogOff(session_);
    if (ctx_.run.gflgRegularPass) return Step::End;
    if (!ctx_.cfg.gflgRegEmail) return Step::NormalFax;
    return Step::RegularMail;
}

// Step 30.
Step Run::RegularMail() {
    auto& cfg = ctx_.cfg;
    const std::string profile = cfg.gRegularMailProfile;
    if (!SessionLogIn(ctx_, session_, profile)) {
        Status("Unable to retrieve email for Profile " + profile);
        return Step::SameProfile;
    }
    if (ctx_.run.flgDeliverNow) {
        Status("Retrieving email for Profile " + profile);
        (void)session_.gblobjSession->DeliverNow();
        auto inbox = session_.gblobjSession->Inbox();
        if (!inbox || !*inbox) {
            SessionLogOff(session_);
            ctx_.run.gLastError = "Inbox Error on profile " + cfg.gVoxaFaxProfile;
            return Step::End;
        }
        (void)(*inbox)->MessageCount();
    }
    SessionLogOff(session_);
    return Step::SameProfile;
}

// Step 31.
Step Run::SameProfile() {
    auto& cfg = ctx_.cfg;
    if (platform::Lower(cfg.gNormalFaxProfile) != platform::Lower(cfg.gRegularMailProfile)) {
        SessionLogOff(session_);
        return Step::NormalFax;
    }
    if (cfg.gflgPrintNormalFax) {
        // The retrieval session is already gone: log on again so that the pass
        // has a store to print from.
        SessionLogIn(ctx_, session_, cfg.gNormalFaxProfile);
        ctx_.run.gflgRegularPass = true;
        return Step::WalkEntry;
    }
    return Step::NormalFax;
}

// Step 33.
Step Run::RegularPass() {
    SessionLogIn(ctx_, session_, ctx_.cfg.gNormalFaxProfile);  // result not tested
    ctx_.run.gflgRegularPass = true;
    return Step::WalkEntry;
}

void Run::EndKeys() {
    auto& run = ctx_.run;
    Write("last_error", run.gLastError);
    Status(" Printed " + std::to_string(run.gVFPrinted) + " VOXA-FAXes + " +
           std::to_string(run.gRegPrinted) + " Regular Faxes");
    Write("printing", "0");
    Write("session", std::to_string(run.gVFPrinted) + "," + std::to_string(run.gVFUnprintable) +
                         "," + std::to_string(run.gRegPrinted) + "," +
                         std::to_string(run.gFourthCounter));
    Write("totals", "0,0,0,0");
    Write("VFPrint", "quit");
}

}  // namespace

int Main(config::Context& ctx, const std::string& commandLine) {
    try {
        Run run(ctx, commandLine);
        return run.Execute();
    } catch (const std::exception& e) {
        // Nothing below is meant to throw; if something does, the run still ends
        // with exit status 0 as the scheduler expects, and says why.
        std::fprintf(stderr, "voxafax-print: internal error: %s\n", e.what());
        return 0;
    }
}

}  // namespace vfmain
