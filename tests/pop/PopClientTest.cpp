#include <gtest/gtest.h>

#include <cerrno>

#include "tests/pop/PopFixture.h"
#include "tests/support/FreePort.h"
#include "tests/support/ScriptedServer.h"

using namespace std::chrono_literals;

namespace {

using poptest::Fetch;
using poptest::LogOn;
using poptest::Mailbox;
using poptest::Message;
using poptest::PopRun;
using poptest::Retr;
using testsupport::ReadFile;
using testsupport::ScriptedServer;

TEST(PopSession, DownloadsEveryMessageDeletesItAndQuits) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    ASSERT_TRUE(s.listening());
    r.t.options.popPort = s.port();
    const std::string m1 = Message("one", "first fax\r\n..dot-stuffed line\r\n");
    const std::string m2 = Message("two", std::string(3000, 'y') + "\r\n");
    Mailbox(s, {{"u1", m1}, {"u2", m2}});
    Fetch(s, 1, m1);
    Fetch(s, 2, m2).Expect("^QUIT$").Send("+OK Logging out, messages deleted.\r\n").Close();
    r.t.run.gLastError = "from before";
    r.Session();
    EXPECT_TRUE(s.failures().empty()) << s.failures()[0];
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1.TXT", "2.TXT"}));
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), Retr(m1));
    EXPECT_EQ(ReadFile(r.t.InFile("2.TXT")), Retr(m2));
    EXPECT_EQ(r.Status(), "Downloading 2 VOXA-FAXes");
    EXPECT_EQ(r.t.run.gLastError, "from before");
    EXPECT_EQ(r.t.run.stats.messagesDownloaded, 2);
    EXPECT_EQ(r.t.run.stats.bytesDownloaded, static_cast<std::int64_t>(m1.size() + m2.size() + 6));
    EXPECT_EQ(r.t.run.failure, config::RunFailure::None);
    EXPECT_EQ(r.LogWith("downloaded 2 messages, 4 KB").size(), 1u);
    EXPECT_EQ(r.Elapsed(), 0ms);  // a prompt server is never waited for
    // Nothing is left to remember.
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/uncertain"));

    // A second session in the same run connects afresh.
    ScriptedServer s2(r.t.loop);
    LogOn(s2, "+OK 0 0\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.t.options.popPort = s2.port();
    r.client->CHECKMAIL_Click();
    EXPECT_TRUE(s2.finished());
    EXPECT_EQ(r.Status(), "No new VOXA-FAXes");
    EXPECT_EQ(r.form->gPOP_Error, 0);
}

// The dialogue goes to the debug log with the password masked; the password
// appears nowhere in the log.
TEST(PopSession, WrongPasswordIsReportedWithTheServersWordsAndNoPassword) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("+OK Ready.\r\n")
        .Expect("^USER fax1$")
        .Send("+OK user\r\n")
        .Expect("^PASS secret$")
        .Send("-ERR [AUTH] Authentication failed.\r\n")
        .Expect("^QUIT$")
        .Send("+OK Bye\r\n");
    r.Session();
    r.Pump();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, -1);
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  [AUTH] Authentication failed.");
    EXPECT_EQ(r.t.run.failure, config::RunFailure::LogonRefused);
    ASSERT_EQ(r.LogWith("logon refused for user fax1").size(), 1u);
    EXPECT_NE(r.LogWith("logon refused")[0].find("\"-ERR [AUTH] Authentication failed.\"; check "
                                                 "Password in"),
              std::string::npos);
    EXPECT_EQ(r.LogWith("pop3 > PASS ****").size(), 1u);
    EXPECT_TRUE(r.LogWith("secret").empty());
    EXPECT_TRUE(r.InFiles().empty());
}

// A reply that is neither "+OK " nor "-ERR" still moves the session on a
// step, sending the previous command again.
TEST(PopSession, ReplyWithoutBlankRepeatsThePreviousCommand) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("+OK Ready.\r\n")
        .Expect("^USER fax1$")
        .Send("OK\r\n")
        .Expect("^USER fax1$")
        .Send("-ERR no thanks\r\n")
        .Expect("^QUIT$");
    r.Session();
    r.Pump();
    EXPECT_TRUE(s.finished());
    EXPECT_TRUE(s.failures().empty());
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  no thanks");
}

// Servers answer with a bare "+OK" line (greeting, USER, even RETR): that is
// consent.
TEST(PopSession, BarePlusOkRepliesAreAccepted) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    const std::string m = Message("bare");
    s.Send("+OK\r\n")
        .Expect("^USER fax1$")
        .Send("+OK\r\n")
        .Expect("^PASS secret$")
        .Send("+OK\r\n")
        .Expect("^STAT$")
        .Send("+OK 1 40\r\n")
        .Expect("^LIST$")
        .Send("+OK\r\n.\r\n")
        .Expect("^UIDL$")
        .Send("-ERR\r\n")
        .Expect("^RETR 1$")
        .Send("+OK\r\n" + m + ".\r\n")
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^QUIT$")
        .Send("+OK\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, 0);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{"+OK\r\n" + m + ".\r\n"}));
}

TEST(PopSession, GreetingThatIsNoReplySendsNothingNewAndTimesOut) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("220 smtp.example.test ESMTP\r\n").GoSilent();
    r.t.run.gLastError = "kept";
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, 7);
    EXPECT_EQ(r.Elapsed(), 2 * r.t.env.tick);
    EXPECT_EQ(r.t.run.gLastError, "kept");
    EXPECT_EQ(s.bytesReceived(), 0u);  // the command left from before was empty
    EXPECT_EQ(r.t.run.failure, config::RunFailure::ServerUnreachable);
    EXPECT_EQ(
        r.LogWith("the greeting \"220 smtp.example.test ESMTP\" is not a POP3 server's").size(),
        1u);
}

// Failures that are known at once end the session at once and say why; only
// a silent server is waited for.
TEST(PopSession, ConnectFailuresAreNamedAndOnlySilenceIsWaitedFor) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.GoSilent();
    r.t.cfg.gTimoutMinutes = 3;
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, 6);
    EXPECT_EQ(r.Elapsed(), 3 * r.t.env.tick);
    EXPECT_EQ(r.LogWith("no greeting, timed out after 180 s").size(), 1u);

    PopRun refused(testsupport::FreePort());
    refused.t.run.gLastError = "kept";
    refused.Session();
    EXPECT_EQ(refused.form->gPOP_Error, ECONNREFUSED);
    EXPECT_EQ(refused.Elapsed(), 0ms);
    EXPECT_EQ(refused.t.run.gLastError, "kept");
    EXPECT_EQ(refused.t.run.failure, config::RunFailure::ServerUnreachable);
    EXPECT_EQ(refused
                  .LogWith(":" + std::to_string(refused.t.options.popPort) +
                           ": connection refused; check [pop3] host and port in")
                  .size(),
              1u);

    PopRun unknown(1);
    unknown.t.run.gPOPServer = "no-such-host.invalid";
    unknown.t.run.gLastError = "x";
    unknown.Session();
    EXPECT_EQ(unknown.form->gPOP_Error, -1);
    EXPECT_EQ(unknown.t.run.gLastError, "");
    EXPECT_EQ(unknown.LogWith("pop3 no-such-host.invalid:1: host not found").size(), 1u);
}

// [pop3] host names a server other than the address's domain.
TEST(PopSession, TheConfiguredHostWinsOverTheAddressDomain) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    r.t.options.popHost = "pop.example.test";
    r.t.run.gPOPServer = "no-such-host.invalid";
    LogOn(s, "+OK 0 0\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(
        r.LogWith("pop3 pop.example.test:" + std::to_string(s.port()) + ": connecting").size(), 1u);
}

TEST(PopSession, AMessageArrivingInPiecesIsWrittenWhole) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    std::string body;
    for (int i = 0; body.size() < 10000; ++i)
        body += "line " + std::to_string(i) + " of the fax\r\n";
    const std::string msg = Message("pieces", body);
    const std::string whole = Retr(msg);
    Mailbox(s, {{"u1", msg}}).Expect("^RETR 1$");
    for (std::size_t at = 0; at < whole.size(); at += 1500)
        s.SendPartial(whole.substr(at, 1500), 5ms);
    s.Expect("^DELE 1$").Send("+OK\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), whole);
}

TEST(PopSession, TinyMessagesAndTerminatorsSplitAcrossBlocksAreRecognised) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    // Message 2's first piece is exactly one file block and ends with CR LF
    // of the terminator; ".\r\n" comes alone.
    const std::string head = "+OK 4000 octets\r\n";
    std::string msg = Message("");
    msg += std::string(4096 - head.size() - msg.size() - 2, 'k') + "\r\n";
    const std::string first = head + msg;
    ASSERT_EQ(first.size(), 4096u);
    Mailbox(s, {{"u1", "\r\n"}, {"u2", msg}})
        .Expect("^RETR 1$")
        .Send("+OK 2 octets\r\n\r\n.\r\n")
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^RETR 2$")
        .SendPartial(first, 100ms)
        .Send(".\r\n")
        .Expect("^DELE 2$")
        .Send("+OK\r\n")
        .Expect("^QUIT$")
        .Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, 0);
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), "+OK 2 octets\r\n\r\n.\r\n");
    EXPECT_EQ(ReadFile(r.t.InFile("2.TXT")), first + ".\r\n");
}

TEST(PopSession, StatRefusedIsReportedWithTheServersText) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("+OK Ready.\r\n")
        .Expect("^USER")
        .Send("+OK x\r\n")
        .Expect("^PASS")
        .Send("+OK x\r\n")
        .Expect("^STAT$")
        .Send("-ERR mailbox locked\r\n");
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, -1);
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  mailbox locked");
    EXPECT_EQ(r.LogWith("STAT refused: \"-ERR mailbox locked\"").size(), 1u);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::Retrieval);
}

}  // namespace
