// The SMTP dialogue against a scripted loopback server: every error code,
// what is sent on the wire, and how long the waits last.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>

#include "mailout/SMTPprocedures.h"
#include "net/SocketWrench.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/Sanitizers.h"

using namespace std::chrono_literals;
using mailout::GetSMTPErrorMessage;
using mailout::SendEMail;
using testsupport::ScriptedServer;

namespace mailtest {

namespace {

const std::string kBody = "To:rcpt@dest.test\r\nSubject: hi\r\n\r\nline one\r\n";

class SmtpDialogue : public ::testing::Test {
  protected:
    SmtpDialogue()
        : factory(platform::TableResolver(
              {{"sink.test", {"127.0.0.1"}}, {"relay.test", {"127.0.0.2", "127.0.0.1"}}})),
          run(factory) {
        run.c.options.smtpPort = server.port();
        run.St().gSMTPServer = "127.0.0.1";
        run.St().gSMTPSenderAddr = "fax1@voxafax.example";
        run.St().gSMTPRecipAddr = "rcpt@dest.test";
        run.St().gMessageBody = kBody;
    }
    bool Send() { return SendEMail(run.F(), run.St(), run.sv); }

    platform::TcpSocketFactory factory;
    MailRun run;
    ScriptedServer server{run.c.loop};
};

TEST_F(SmtpDialogue, DeliversTheMessageAndQuitsPolitely) {
    HappySmtp(server);
    ASSERT_TRUE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 0);
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{"HELO 127.0.0.1", "MAIL FROM: <fax1@voxafax.example>",
                                        "RCPT TO: <rcpt@dest.test>", "DATA", "QUIT"}));
    ASSERT_EQ(server.captures().size(), 1u);
    EXPECT_EQ(server.captures()[0], kBody + "\r\n\r\n.\r\n");
    EXPECT_TRUE(server.failures().empty());
    EXPECT_EQ(run.St().gSMTPStep, mailout::SMTP_Idle);
    EXPECT_EQ(run.St().gSMTPLog, "SMTP_CONFIRM_QUIT + 221 2.0.0 bye + Alles OK, ");
    EXPECT_FALSE(run.F().SMTPSocket().Connected());
}

TEST_F(SmtpDialogue, ResolvesNamesAndTriesTheNextAddress) {
    // 127.0.0.2 has no listener on this port: the second address is used.
    HappySmtp(server);
    run.St().gSMTPServer = "relay.test";
    EXPECT_TRUE(Send());
    EXPECT_EQ(server.lines().at(0), "HELO relay.test");
}

TEST_F(SmtpDialogue, MultiLineGreetingIsRefusedWithoutQuit) {
    server.Send("220-first line\r\n220 second line\r\n").GoSilent();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 1);
    EXPECT_TRUE(server.lines().empty());
    EXPECT_EQ(server.bytesReceived(), 0u);
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), 1), "SMTP Service Unavailable on the server - ");
    EXPECT_FALSE(run.F().SMTPSocket().Connected());
}

TEST_F(SmtpDialogue, AnotherProtocolsGreetingFailsAtOnceAndIsNamed) {
    server.Send("+OK Dovecot ready.\r\n").GoSilent();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 1);
    EXPECT_EQ(run.Elapsed(), 0ms);
    EXPECT_EQ(server.bytesReceived(), 0u);
    EXPECT_NE(run.St().fault.find("greeted as no SMTP server does (\"+OK Dovecot ready.\"); "
                                  "check the port"),
              std::string::npos)
        << run.St().fault;
}

TEST_F(SmtpDialogue, RefusedRecipientStillQuitsAndQuotesTheReply) {
    UpToRcpt(server, "550 5.1.1 <rcpt@dest.test>: mailbox unavailable\r\n")
        .Expect("^QUIT$")
        .Send("221 bye\r\n")
        .Close();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 2);
    EXPECT_TRUE(server.failures().empty());
    EXPECT_EQ(server.lines().back(), "QUIT");
    // The reply in gInBuffer is the latest one: QUIT's "221 bye".
    run.F().gInBuffer = "550 5.1.1 <rcpt@dest.test>: mailbox unavailable  ";
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), 2),
              "The SMTP server replied - 5.1.1 <rcpt@dest.test>: mailbox unavailable");
    EXPECT_NE(run.St().gSMTPLog.find("SMTP_CONFIRM_QUIT + 221 bye + The SMTP server replied - bye"),
              std::string::npos)
        << run.St().gSMTPLog;
}

struct RefusalCase {
    const char* name;
    int refuseAt;  // 0 HELO, 1 MAIL, 2 RCPT (RefusedRecipient...), 3 DATA, 4 end of data
    int code;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpRefusals : public SmtpDialogue, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SmtpRefusals, EndWithTheCodeOfTheRefusedStep) {
    const RefusalCase rc = GetParam();
    const char* expects[] = {"^HELO ", "^MAIL ", "^RCPT ", "^DATA$"};
    const char* oks[] = {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"};
    server.Send("220 hi\r\n");
    for (int i = 0; i < 4 && i < rc.refuseAt; ++i) server.Expect(expects[i]).Send(oks[i]);
    if (rc.refuseAt < 4) {
        server.Expect(expects[rc.refuseAt]).Send("554 no\r\n");
    } else {
        server.Capture("\r\n.\r\n").Send("552 too big\r\n");
    }
    // A refused message ends the dialogue at once; refused commands before
    // it still get a QUIT.
    if (rc.refuseAt < 4) server.Expect("^QUIT$").Send("221 bye\r\n").Close();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, rc.code);
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);
    EXPECT_EQ(server.lines().back(), rc.refuseAt < 4 ? "QUIT" : "DATA");
}

INSTANTIATE_TEST_SUITE_P(Steps, SmtpRefusals,
                         ::testing::Values(RefusalCase{"Helo", 0, 1}, RefusalCase{"Mail", 1, 1},
                                           RefusalCase{"Data", 3, 3},
                                           RefusalCase{"EndOfData", 4, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpDialogue, MessageTakenCountsAsSentWhateverBecomesOfTheQuit) {
    // Once the end of the message is answered 250 the server has it: a QUIT
    // answered wrongly, or a server that goes away before answering it, must
    // not make the message go out again through another server.
    for (bool closeInstead : {false, true}) {
        ScriptedServer bad(run.c.loop);
        UpToRcpt(bad, "250 ok\r\n").Expect("^DATA$").Send("354 go\r\n").Capture("\r\n.\r\n");
        if (closeInstead)
            bad.Send("250 queued\r\n").Close();
        else
            bad.Send("250 queued\r\n").Expect("^QUIT$").Send("500 what\r\n");
        run.c.options.smtpPort = bad.port();
        EXPECT_TRUE(Send()) << closeInstead;
        EXPECT_EQ(run.F().gSMTP_Error, 0);
        EXPECT_EQ(bad.captures().size(), 1u);
    }
}

TEST_F(SmtpDialogue, UnknownHostAndRefusedConnection) {
    run.St().gSMTPServer = "no-such-host.test";
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 5);
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), 5),
              "Unable to obtain an Internet Address for the server - ");
    // The entry carries the error text as it is, its last blank included.
    EXPECT_EQ(run.St().gSMTPLog,
              "SMTP_CallHost +  + Unable to obtain an Internet Address for the server - , ");

    run.St().gSMTPServer = "127.0.0.1";
    run.c.options.smtpPort = ClosedPort();
    EXPECT_FALSE(Send());
    // The socket's own code, and its reason as the error text; no tick waited.
    EXPECT_EQ(run.F().gSMTP_Error, ECONNREFUSED);
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), ECONNREFUSED), "Connection refused");
    EXPECT_EQ(run.Elapsed(), 0ms);
    // The refusal is named in the session log.
    EXPECT_NE(run.St().gSMTPLog.find("SMTP_CallHost + Connection refused"), std::string::npos)
        << run.St().gSMTPLog;

    // An empty host is an address that is not there.
    run.St().gSMTPServer = "";
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 5);
}

TEST_F(SmtpDialogue, NoGreetingInTimeIsUnableToConnect) {
    server.GoSilent();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 6);
    EXPECT_EQ(run.Elapsed(), 2 * run.c.env.tick);
}

TEST_F(SmtpDialogue, SilentServerTimesOutAfterTheAllowedTicks) {
    server.Send("220 hi\r\n").Expect("^HELO ").GoSilent();
    run.c.cfg.gTimoutMinutes = 3;
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 7);
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), 7), "The connection timed out");
    EXPECT_EQ(run.Elapsed(), 3 * run.c.env.tick);
}

// A server that goes away while the greeting or a reply is awaited ends the
// dialogue at once: nothing is written to the closed connection and nothing
// waits for it.
TEST_F(SmtpDialogue, ServerGoneWhileAReplyIsAwaitedEndsTheDialogueAtOnce) {
    server.Close();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, -1);
    EXPECT_EQ(GetSMTPErrorMessage(run.F(), -1), "Server Disconnected");
    EXPECT_NE(run.St().gSMTPLog.find("Server Disconnected"), std::string::npos);
    ScriptedServer afterHelo(run.c.loop);
    afterHelo.Send("220 hi\r\n").Expect("^HELO ").Close();
    run.c.options.smtpPort = afterHelo.port();
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, -1);
    EXPECT_EQ(run.Elapsed(), 0ms);
    EXPECT_EQ(afterHelo.lines().size(), 1u);
}

TEST_F(SmtpDialogue, EndlessDataKeepsMemoryBoundedAndEndsTheDialogue) {
    VOXAFAX_SKIP_MEMORY_BOUND_UNDER_ASAN();
    // Greeting, then megabytes without a line end.
    server.Send("220 hi\r\n").Expect("^HELO ").Flood(0);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_FALSE(Send());
    EXPECT_EQ(run.F().gSMTP_Error, 1);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 20 * 1024);  // KiB
    EXPECT_LT(run.St().gSMTPLog.size(), 1000u);
}

}  // namespace
}  // namespace mailtest
