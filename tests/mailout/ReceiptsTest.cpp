// Receipts against hostile mail and failing servers, through scripted
// loopback servers on the manual clock: what reaches the server, what stays
// in Out/, what is given up, and how long it all takes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/ReceiptLedger.h"
#include "mailout/SMTPprocedures.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using testsupport::ScriptedServer;
namespace fs = std::filesystem;

namespace mailtest {
namespace {

// A server that refuses every recipient for now.
ScriptedServer& RefusingSmtp(ScriptedServer& s) {
    return UpToRcpt(s, "450 4.2.0 try later\r\n").Expect("^QUIT").Send("221 bye\r\n").Close();
}

class Receipts : public ::testing::Test {
  protected:
    Receipts()
        : factory(platform::TableResolver(
              {{"dest.test", {"127.0.0.1"}}, {"user.smtp", {"127.0.0.1"}}})),
          run(factory) {
        run.c.options.smtpPort = server.port();
        auto& cfg = run.c.cfg;
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        cfg.gVFSMTPSrvrName = "";
        cfg.gLastResortSMTPServer = "";
    }
    mailout::ReceiptInputs Fax(const std::string& subject) {
        mailout::ReceiptInputs in;
        in.gSubject = subject;
        in.gOriginalMsgID = "<" + subject + "@sender.test>";
        in.gDispositionType = "Processed";
        in.gPageCount = "1";
        return in;
    }
    void Answer(const mailout::ReceiptInputs& in, const std::string& to = "sender@dest.test") {
        run.St().gSMTPRecipAddr = to;
        run.mailer->SendReceipt(in);
    }
    // The next run: a fresh mailer on the same program folder.
    mailout::Mailer& NextRun() {
        run.mailer = std::make_unique<mailout::Mailer>(run.sv, run.F());
        return *run.mailer;
    }
    std::string Out() { return run.c.run.gOutFolder; }
    std::string Undelivered() { return run.mailer->UndeliveredFolder(); }
    std::string Port() { return ":" + std::to_string(run.c.options.smtpPort); }

    platform::TcpSocketFactory factory;
    MailRun run;
    ScriptedServer server{run.c.loop};
};

TEST_F(Receipts, QuotedTextCannotEndTheDataOrAddCommands) {
    // A plain-text mail whose text holds the POP end marker, and the bare-CR
    // smuggling text: a server that reads pipelined input in order would
    // take a lone "." line for the end and the rest for commands.
    HappySmtp(server);
    mailout::ReceiptInputs in = Fax("Hi");
    in.FullMsgHdr =
        "\r\n.\r\nHi\r.\rMAIL FROM:<evil@x.test>\rRCPT TO:<victim@x.test>\rDATA\rFree\r.\rQUIT\r";
    Answer(in);
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{"HELO dest.test", "MAIL FROM: <fax1@voxafax.example>",
                                        "RCPT TO: <sender@dest.test>", "DATA", "QUIT"}));
    ASSERT_EQ(server.captures().size(), 1u);
    EXPECT_NE(server.captures()[0].find(
                  "\r\nHi\r\n..\r\nMAIL FROM:<evil@x.test>\r\nRCPT TO:<victim@x.test>\r\n"),
              std::string::npos);
}

TEST_F(Receipts, RecipientThatIsNotOnePlainAddressGetsNoReceipt) {
    HappySmtp(server);
    // A bare LF in Disposition-Notification-To: no second RCPT, no receipt;
    // a queued file naming such a recipient is given up at once.
    Answer(Fax("Two lines"), "bob@dest.test\nRCPT TO:<victim@x.test>");
    testsupport::WriteFile(Out() + "20261205200309.MDN",
                           "To:bob@dest.test\nRCPT TO:<victim@x.test>\r\n\r\nx\r\n");
    run.mailer->SendQueuedFiles();
    EXPECT_EQ(server.connections(), 0);
    EXPECT_TRUE(NamesIn(Out()).empty());
    EXPECT_EQ(NamesIn(Undelivered()), std::vector<std::string>{"20261205200309.MDN"});
    EXPECT_TRUE(run.Logged("receipt for \"Two lines\" not sent: its recipient"));
}

TEST_F(Receipts, AMessageIsAnsweredOnceWhateverHappensBetween) {
    HappySmtp(server);
    Answer(Fax("Invoice"));
    Answer(Fax("Invoice"));  // walked again in the same run
    NextRun();
    Answer(Fax("Invoice"));  // and in the next one, after a kill before filing
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(NamesIn(Out()).empty());
    Answer(Fax("Order"));  // another message is answered
    EXPECT_EQ(server.connections(), 2);

    struct stat st {};
    ASSERT_EQ(::stat(run.mailer->LedgerPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A run killed after recording a receipt, before queueing it, left it
    // staged: the next run queues and sends it, and does not compose another.
    // A staged file never recorded is dropped.
    const std::string ledger = testsupport::ReadFile(run.mailer->LedgerPath());
    testsupport::WriteFile(
        run.mailer->LedgerPath(),
        ledger + "answered " + mailout::ReceiptKey(Fax("Memo")) + " 2000000000 .queue-aaaaaa\n");
    testsupport::WriteFile(Out() + ".queue-aaaaaa", "To:sender@dest.test\r\n\r\nmemo\r\n");
    testsupport::WriteFile(Out() + ".queue-bbbbbb", "To:sender@dest.test\r\n\r\nnever\r\n");
    run.c.cfg.gUserSMTPServer = "user.smtp";
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    NextRun().SendQueuedFiles();
    Answer(Fax("Memo"));
    EXPECT_EQ(server.connections(), 3);
    EXPECT_EQ(server.captures().back(), "To:sender@dest.test\r\n\r\nmemo\r\n\r\n\r\n.\r\n");
    EXPECT_TRUE(NamesIn(Out()).empty());
}

TEST_F(Receipts, AFailingReceiptIsRetriedLaterAndLaterAndGivenUpOnlyWhenOldAndRefusedOften) {
    RefusingSmtp(server);
    run.c.options.receiptMaxRuns = 3;
    run.c.cfg.gUserSMTPServer = "user.smtp";  // the rows of queued receipts
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    // A receipt queued by a run a week ago (a machine off since) fails its
    // first try here: one refusal is not enough to give it up.
    testsupport::WriteFile(Out() + "20260602000000.MDN", "To:old@dest.test\r\n\r\nold\r\n");
    run.mailer->SendQueuedFiles();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(
        run.Logged("queued receipt to old@dest.test not sent again: it waits in Out/ and is "
                   "tried again from 2026-06-09 "));
    EXPECT_TRUE(
        run.Logged("(1 runs with an answer; last_error 2: the SMTP server refused the "
                   "recipient): user.smtp" +
                   Port() + " refused the recipient: \"450 4.2.0 try later\""));

    // Runs come every minute; the tries come 5 and then 10 minutes after
    // the one before, and the third refused run gives the old one up.
    std::vector<int> triedAt;
    for (int minute = 1; minute <= 30; ++minute) {
        run.wall += 60;
        const int before = server.connections();
        NextRun().SendQueuedFiles();
        if (server.connections() > before) triedAt.push_back(minute);
    }
    EXPECT_EQ(triedAt, (std::vector<int>{5, 15}));
    EXPECT_EQ(NamesIn(Undelivered()), std::vector<std::string>{"20260602000000.MDN"});
    EXPECT_TRUE(NamesIn(Out()).empty());
    EXPECT_TRUE(
        run.Logged("queued receipt to old@dest.test given up: no server took it in 3 runs "
                   "since 2026-06-02 00:00"));

    // A fresh receipt refused as often is kept: it is not old yet. Runs in
    // which no server could be asked do not count against it.
    Answer(Fax("Invoice"));
    const int port = run.c.options.smtpPort;
    for (int i = 0; i < 10; ++i) {  // five runs that reach no server, five refused
        run.c.options.smtpPort = i < 5 ? ClosedPort() : port;
        run.wall += 3600;
        NextRun().SendQueuedFiles();
    }
    ASSERT_EQ(NamesIn(Out()).size(), 1u);
    const std::string name = NamesIn(Out())[0];
    EXPECT_EQ(run.mailer->UndeliveredFolder(), Undelivered());
    mailout::ReceiptLedger ledger(run.mailer->LedgerPath());
    ledger.Load(run.wall);
    EXPECT_EQ(ledger.FailedRuns(name), 6);
    // Five days on, the next refusal gives it up.
    run.wall += 5 * 24 * 3600;
    NextRun().SendQueuedFiles();
    EXPECT_TRUE(NamesIn(Out()).empty());
    EXPECT_EQ(NamesIn(Undelivered()).size(), 2u);
}

TEST_F(Receipts, TarpitServerIsCutOffAtTheDeadlineAndTheNextRunWorks) {
    // Every reply comes just before its wait of two ticks runs out.
    const platform::Millis late = 110s;
    server.Pause(late).Send("220 slow\r\n");
    for (const char* cmd : {"^HELO", "^MAIL", "^RCPT", "^DATA"})
        server.Expect(cmd).Pause(late).Send(cmd[1] == 'D' ? "354 go\r\n" : "250 ok\r\n");
    server.GoSilent();

    Answer(Fax("Invoice"));
    EXPECT_EQ(run.Elapsed(), 180s);  // the dialogue's deadline: three ticks
    EXPECT_TRUE(
        run.Logged("dest.test" + Port() + " not done within the 180 s a dialogue may take"));

    // The same server is not waited on again in this run.
    Answer(Fax("Order"));
    EXPECT_EQ(run.Elapsed(), 180s);
    EXPECT_TRUE(run.Logged("dest.test" + Port() + " was found unreachable earlier in this run"));
    ASSERT_EQ(NamesIn(Out()).size(), 2u);
    run.wall += 5 * 60;  // the first retry of the receipt that was refused

    // The next run: the server answers again, and both receipts go out.
    ScriptedServer quick(run.c.loop);
    HappySmtp(quick);
    run.c.options.smtpPort = quick.port();
    run.c.cfg.gUserSMTPServer = "user.smtp";
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    NextRun().SendQueuedFiles();
    EXPECT_EQ(quick.captures().size(), 2u);
    EXPECT_TRUE(NamesIn(Out()).empty());
    EXPECT_EQ(run.c.run.stats.receiptsSent, 2);
    EXPECT_EQ(run.c.run.stats.receiptsQueued, 2);
}

TEST_F(Receipts, ALedgerThatCannotBeWrittenKeepsTheReceiptQueuedAndSaysSo) {
    HappySmtp(server);
    fs::create_directory(run.mailer->LedgerPath());  // nothing can replace it
    run.St().gSMTPRecipAddr = "sender@dest.test";
    EXPECT_FALSE(run.mailer->SendReceipt(Fax("Invoice")));
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(NamesIn(Out()).size(), 1u);
    EXPECT_EQ(run.c.run.failure, config::RunFailure::Storage);
    const std::string& last = run.c.run.gLastError;
    EXPECT_EQ(last.rfind("Storage Error : receipt for \"Invoice\" to sender@dest.test waits in "
                         "Out/: cannot record it in ",
                         0),
              0u)
        << last;
    EXPECT_LE(config::LastErrorValue(run.c.run).size(), 200u);
    // Walked again in this run, the message is not answered twice.
    EXPECT_TRUE(run.mailer->SendReceipt(Fax("Invoice")));
    EXPECT_EQ(NamesIn(Out()).size(), 1u);

    // Once the ledger can be written, the next run sends it from the queue.
    fs::remove(run.mailer->LedgerPath());
    run.c.cfg.gUserSMTPServer = "user.smtp";
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    NextRun().SendQueuedFiles();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(NamesIn(Out()).empty());
}

TEST(ReceiptLedger, StaysSmall) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/receipts.ledger";
    const std::time_t now = 2000000000;
    const std::time_t day = 24 * 3600;
    testsupport::WriteFile(path, "answered aaaa " + std::to_string(now - 61 * day) +
                                     "\nanswered bbbb " + std::to_string(now - day) +
                                     "\nnonsense\nfailed x\nfailed 2 20261205200309.MDN\n");
    mailout::ReceiptLedger ledger(path);
    ledger.Load(now);
    EXPECT_EQ(ledger.AnsweredAt("aaaa"), 0);  // past its age
    EXPECT_EQ(ledger.AnsweredAt("bbbb"), now - day);
    EXPECT_EQ(ledger.FailedRuns("20261205200309.MDN"), 2);

    // At most kMaxAnswers answers are kept: the newest.
    for (std::size_t i = 0; i <= mailout::ReceiptLedger::kMaxAnswers; ++i)
        ledger.NoteAnswered("k" + std::to_string(i), now + static_cast<std::time_t>(i));
    ASSERT_TRUE(ledger.Save());
    mailout::ReceiptLedger again(path);
    again.Load(now);
    EXPECT_EQ(again.AnsweredAt("bbbb"), 0);
    EXPECT_EQ(again.AnsweredAt("k0"), 0);
    EXPECT_NE(again.AnsweredAt("k1"), 0);
    EXPECT_LT(testsupport::ReadFile(path).size(), 200u * 1024);
}

}  // namespace
}  // namespace mailtest
