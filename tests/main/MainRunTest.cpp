// Whole runs of the entry routine on fakes: the order of the status keys and
// the course each switch takes through the run.
#include <gtest/gtest.h>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "main/VFPrintMainProc.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"
#include "platform/fake/FakeSocket.h"
#include "tests/support/TempDir.h"

namespace {

struct Harness {
    testsupport::TempDir dir;
    platform::Environment env;
    platform::Options options;
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    platform::ProfileStore profile{dir / "cfg/voxafax.ini"};
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    platform::FakeImaging imaging{printers};
    platform::FakeSocketFactory sockets;
    platform::FakeMailStore stores;
    config::NodeConfig cfg;
    config::RunGlobals run;
    std::vector<std::string> writes;  // "key=value" in the order written

    explicit Harness(const std::string& keys) {
        testsupport::WriteFile(dir / "cfg/voxafax.ini", "[VOXA-FAX]\n" + keys);
        env.programFolder = dir / "home";
        env.profilePath = dir / "cfg/voxafax.ini";
        env.configDir = dir / "cfg";
        env.tick = platform::Millis(50);
        profile.onWrite = [this](std::string_view, std::string_view k, std::string_view v) {
            writes.push_back(std::string(k) + "=" + std::string(v));
        };
        stores.AddProfile("Windows Messaging Settings");
    }
    int Run(const std::string& commandLine) {
        platform::Log log{platform::LogLevel::Debug, nullptr};  // problems kept, nothing printed
        config::Context ctx{env,     options, loop,   profile, dialogs, printers,
                            imaging, sockets, stores, cfg,     run,     log};
        return vfmain::Main(ctx, commandLine);
    }
    std::vector<std::string> StatusTexts() const {
        std::vector<std::string> out;
        for (const auto& w : writes)
            if (w.rfind("print_status=", 0) == 0) out.push_back(w.substr(13));
        return out;
    }
};

// Keys through which the store delivers (no POP session).
const std::string kStoreDelivers = "Use_Profile=y\nUse_Defaults=1\nPrinter_Type=Fake Printer\n";

}  // namespace

TEST(MainRun, TestSwitchWritesEveryKeyInItsOrder) {
    Harness h("totals=5,5,5,5\n");
    EXPECT_EQ(h.Run("/2"), 0);
    const std::vector<std::string> expected = {
        "last_error=",
        "VFPrint=running",
        "print_status=Starting VOXA-FAX Print",
        "printing=1",
        "test_server=",
        "last_error=0",  // no candidate server could be tried: the last SMTP code, 0
        "print_status= Printed 0 VOXA-FAXes + 0 Regular Faxes",
        "printing=0",
        "session=0,0,0,0",
        "totals=0,0,0,0",
        "VFPrint=quit",
    };
    EXPECT_EQ(h.writes, expected);
}

TEST(MainRun, EmptyCommandLineShowsTheBoxAndLeavesTheRunRunning) {
    Harness h("");
    EXPECT_EQ(h.Run(""), 0);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0],
              "VOXA-FAX Print must be started by VOXA-FAX Scheduler\r\nPlease start the scheduler "
              "and choose -\r\n'Get VOXA-FAXes Now'");
    EXPECT_EQ(h.dialogs.beeps, 1);
    EXPECT_EQ(h.writes.back(), "printing=1");
}

TEST(MainRun, OrdinaryRunWithStoreDeliveryWalksAndFilesIntoNewFolders) {
    Harness h(kStoreDelivers);
    h.stores.Root("Windows Messaging Settings");
    EXPECT_EQ(h.Run("/0"), 0);
    auto& p = *h.stores.FindProfile("Windows Messaging Settings");
    EXPECT_EQ(p.deliverCalls, 1);
    for (const char* f : {"Deleted Items", "VOXA-FAXes/Printed", "VOXA-FAXes/Unprintable",
                          "VOXA-FAXes/Sent", "VOXA-FAXes/Receipts Out"})
        EXPECT_NE(h.stores.Folder("Windows Messaging Settings", f), nullptr) << f;
    EXPECT_EQ(h.stores.Folder("Windows Messaging Settings", "Regular Faxes"), nullptr);
    auto texts = h.StatusTexts();
    std::vector<std::string> expected = {"Starting VOXA-FAX Print",
                                         "Logged on to profile Windows Messaging Settings",
                                         "Connecting to ", "Checking Inbox for 0 new VOXA-FAXes",
                                         " Printed 0 VOXA-FAXes + 0 Regular Faxes"};
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(h.writes.back(), "VFPrint=quit");
}

TEST(MainRun, ExistingFoldersAreReusedAndNamesCompareExactly) {
    Harness h(kStoreDelivers);
    h.stores.EnsureFolder("Windows Messaging Settings", "VOXA-FAXes/printed");
    auto& printed = h.stores.EnsureFolder("Windows Messaging Settings", "VOXA-FAXes/Unprintable");
    const std::string id = printed.id;
    h.Run("/0");
    auto* vf = h.stores.Folder("Windows Messaging Settings", "VOXA-FAXes");
    ASSERT_NE(vf, nullptr);
    EXPECT_EQ(vf->folders.size(), 5u);  // printed, Unprintable, Printed, Sent, Receipts Out
    EXPECT_EQ(h.stores.Folder("Windows Messaging Settings", "VOXA-FAXes/Unprintable")->id, id);
    EXPECT_NE(h.stores.Folder("Windows Messaging Settings", "VOXA-FAXes/Printed"), nullptr);
}

TEST(MainRun, WakeSwitchWalksAgainAfterTheInterval) {
    Harness h(kStoreDelivers + "wake_probes=1\nwake_probe_seconds=1\n");
    auto start = h.clock.Now();
    h.Run("/3");
    EXPECT_EQ(h.clock.Now() - start, std::chrono::seconds(1));
    auto texts = h.StatusTexts();
    auto count = [&](const std::string& t) { return std::count(texts.begin(), texts.end(), t); };
    EXPECT_EQ(count("Checking Inbox for 0 new VOXA-FAXes"), 2);
    EXPECT_EQ(count("Check for Voxa-FAXes 1"), 1);
    EXPECT_EQ(h.stores.FindProfile("Windows Messaging Settings")->deliverCalls, 2);
}

TEST(MainRun, RegularFaxSwitchLogsOnToTheNormalFaxProfileOnly) {
    Harness h(kStoreDelivers + "Normal_Fax_Profile=Faxes\n");
    h.stores.AddProfile("Faxes");
    h.Run("/1");
    EXPECT_EQ(h.stores.FindProfile("Faxes")->logons, 1);
    EXPECT_EQ(h.stores.FindProfile("Windows Messaging Settings")->logons, 0);
    EXPECT_NE(h.stores.Folder("Faxes", "Regular Faxes/Printed"), nullptr);
    auto texts = h.StatusTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Printing regular faxes"), texts.end());
}

TEST(MainRun, RegularMailSwitchOnlyFetchesRegularMail) {
    Harness h(kStoreDelivers + "Regular_Mail_Profile=Mail\n");
    h.stores.AddProfile("Mail");
    h.Run("/5");
    EXPECT_EQ(h.stores.FindProfile("Mail")->deliverCalls, 1);
    EXPECT_EQ(h.stores.FindProfile("Windows Messaging Settings")->logons, 0);
    auto texts = h.StatusTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Retrieving email for Profile Mail"),
              texts.end());
}

TEST(MainRun, SameProfileForMailAndFaxesStillPrintsTheRegularPass) {
    Harness h(kStoreDelivers +
              "Get_Normal_EMail=y\nRegular_Mail_Profile=Shared\nNormal_Fax_Profile=shared\n"
              "Print_Normal_Fax=y\n");
    h.stores.AddProfile("Shared");
    h.Run("/0");
    EXPECT_EQ(h.stores.FindProfile("Shared")->logons, 2);  // mail, then the regular pass
    EXPECT_NE(h.stores.Folder("Shared", "Regular Faxes/Unprintable"), nullptr);
}

TEST(MainRun, UnknownRegularMailProfileIsReportedAndTheRunEnds) {
    Harness h(kStoreDelivers + "Get_Normal_EMail=y\nRegular_Mail_Profile=Nowhere\n");
    h.Run("/0");
    auto texts = h.StatusTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Unable to retrieve email for Profile Nowhere"),
              texts.end());
    EXPECT_EQ(h.writes.back(), "VFPrint=quit");
}

TEST(MainRun, NoPrinterNameSkipsTheWalk) {
    Harness h("Use_Profile=y\nUse_Defaults=1\n");
    h.Run("/0");
    EXPECT_EQ(h.stores.Folder("Windows Messaging Settings", "VOXA-FAXes"), nullptr);
    EXPECT_EQ(h.writes.back(), "VFPrint=quit");
}
