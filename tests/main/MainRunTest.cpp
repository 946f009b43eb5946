// Whole runs of the entry routine on fakes: the order of the status keys and
// the course each switch takes through the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "main/CommandLine.h"
#include "main/VFPrintMainProc.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/RunContext.h"

namespace {

struct Harness : testsupport::RunContext {
    platform::FakeSocketFactory sockets;
    platform::FakeMailStore& stores = store;
    std::vector<std::string> writes;  // "key=value" in the order written
    std::string recordAtFirstWrite;   // last-run.ini as the first status key is written

    explicit Harness(const std::string& keys)
        : RunContext(testsupport::RunOptions()
                         .In("home", "cfg/voxafax.ini")
                         .NoFolders()
                         .Sockets(&sockets)) {
        testsupport::WriteFile(env.profilePath, "[VOXA-FAX]\n" + keys);
        env.tick = platform::Millis(50);
        profile.onWrite = [this](std::string_view, std::string_view k, std::string_view v) {
            if (writes.empty()) recordAtFirstWrite = Record();
            writes.push_back(std::string(k) + "=" + std::string(v));
        };
        stores.AddProfile(testsupport::kProfile);
    }
    int Run(const std::string& commandLine) { return vfmain::Main(ctx, commandLine); }
    std::string Record() const {
        std::ifstream in(env.programFolder + "/last-run.ini");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
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
    h.Run("/2");  // its exit status is the test message's (the mailer's)
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
    EXPECT_EQ(h.Run(""), 2);
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_EQ(h.dialogs.shown[0],
              "VOXA-FAX Print must be started by VOXA-FAX Scheduler\r\nPlease start the scheduler "
              "and choose -\r\n'Get VOXA-FAXes Now'");
    EXPECT_EQ(h.dialogs.beeps, 1);
    EXPECT_EQ(h.writes.back(), "printing=1");
    EXPECT_TRUE(h.Logged("E|started without a switch"));
    EXPECT_NE(h.Record().find("exit_meaning = usage\n"), std::string::npos);
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

// Without a printer nothing is walked, and the messages that wait (perhaps
// already deleted on the server) are told in the run log.
TEST(MainRun, NoPrinterNameSkipsTheWalkAndSaysSo) {
    Harness h("Use_Profile=y\nUse_Defaults=1\n");
    h.stores.NewMessage(h.stores.Inbox(testsupport::kProfile)).Subject("Fax");
    EXPECT_EQ(h.Run("/0"), 0);
    EXPECT_EQ(h.stores.Folder("Windows Messaging Settings", "VOXA-FAXes"), nullptr);
    EXPECT_EQ(h.writes.back(), "VFPrint=quit");
    EXPECT_EQ(h.Logged("W|Printer_Type in " + h.env.profilePath +
                       " is empty: no fax is printed, and the 1 messages of the inbox wait"),
              1);
}

// A request to stop (SIGTERM) ends the run before its next step with its
// own exit status; the keys that close a run are written as always.
TEST(MainRun, AStopEndsTheRunWithItsOwnStatus) {
    Harness h(kStoreDelivers);
    h.stores.NewMessage(h.stores.Inbox(testsupport::kProfile)).Subject("Fax");
    h.profile.onWrite = [&h](std::string_view, std::string_view k, std::string_view v) {
        h.writes.push_back(std::string(k) + "=" + std::string(v));
        if (v.rfind("Connecting to", 0) == 0) h.loop.RequestStop("SIGTERM");
    };
    EXPECT_EQ(h.Run("/0"), 11);
    EXPECT_EQ(h.stores.Inbox(testsupport::kProfile).messages.size(), 1u);
    EXPECT_EQ(h.stores.FindProfile(testsupport::kProfile)->deliverCalls, 1);
    EXPECT_EQ(h.writes.back(), "VFPrint=quit");
    EXPECT_NE(h.Record().find("exit_meaning = stopped\n"), std::string::npos);
    EXPECT_EQ(h.Logged("W|SIGTERM: the run stops here"), 1);
}

// The record of the last run: "running" before the first status key, and at
// the end the outcome, the figures and the run log's problems.
TEST(MainRun, RecordsTheRunAtItsStartAndItsEnd) {
    Harness h(kStoreDelivers);
    EXPECT_EQ(h.Run("/0"), 0);
    EXPECT_NE(h.recordAtFirstWrite.find("state = running\n"), std::string::npos);
    EXPECT_NE(h.recordAtFirstWrite.find("switch = /0\n"), std::string::npos);
    const std::string rec = h.Record();
    for (const char* line : {"[run]\n", "state = ended\n", "exit_status = 0\n",
                             "exit_meaning = ok\n", "faxes_printed = 0\n", "receipts_queued = 0\n",
                             "last_error = \n", "errors = 0\n", "[problems]\n"})
        EXPECT_NE(rec.find(line), std::string::npos) << line;
    EXPECT_EQ(std::filesystem::status(h.env.programFolder + "/last-run.ini").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(h.Logged("I|start /0, profile " + h.env.profilePath));
    EXPECT_TRUE(h.Logged("I|ended /0 after "));
}

TEST(CommandLine, OnlySwitchesRunAndHelpOrVersionWinWhereverTheyStand) {
    using A = vfmain::Arguments::Action;
    auto parse = [](std::vector<const char*> argv) {
        argv.insert(argv.begin(), "voxafax-print");
        return vfmain::ParseArguments(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(parse({}).action, A::Run);
    EXPECT_EQ(parse({}).commandLine, "");
    EXPECT_EQ(parse({"/6", "/x"}).commandLine, "/6 /x");
    EXPECT_EQ(parse({"/9"}).action, A::Run);  // no handling of its own: an ordinary run
    EXPECT_EQ(parse({"/0", "--help"}).action, A::Help);
    EXPECT_EQ(parse({"--version", "-h"}).action, A::Version);
    for (const char* bad : {"-h", "0", "--verbose", "help"}) {
        auto a = parse({bad});
        EXPECT_EQ(a.action, A::Refuse) << bad;
        EXPECT_EQ(a.refused, bad);
    }
    EXPECT_EQ(parse({"/0", "now"}).refused, "now");
    const std::string usage = vfmain::UsageText();
    for (const char* word : {"/0", "/7", "voxafax.ini", "options.ini", "VOXAFAX_HOME",
                             "VOXAFAX_PROFILE", "VOXAFAX_LOG", "VOXAFAX_POP3_PORT"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    EXPECT_EQ(vfmain::VersionText(), "voxafax-print 0.8.2\n");
}
