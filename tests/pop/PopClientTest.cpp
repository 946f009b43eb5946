#include <gtest/gtest.h>

#include "tests/pop/PopFixture.h"
#include "tests/support/ScriptedServer.h"

using namespace std::chrono_literals;

namespace {

using poptest::LogOn;
using poptest::PopRun;
using testsupport::ReadFile;
using testsupport::ScriptedServer;

std::string Message(const std::string& body) {
    return "From: a@b.test\r\nSubject: fax\r\n\r\n" + body;
}

// The RETR answer for a message: reply line, dot-stuffed body, terminator.
std::string Retr(const std::string& msg) {
    return "+OK " + std::to_string(msg.size()) + " octets\r\n" + msg + ".\r\n";
}

TEST(PopSession, DownloadsEveryMessageDeletesItAndQuits) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    ASSERT_TRUE(s.listening());
    r.t.options.popPort = s.port();
    const std::string m1 = Message("first fax\r\n..dot-stuffed line\r\n");
    const std::string m2 = Message(std::string(3000, 'y') + "\r\n");
    LogOn(s, "+OK 2 4567\r\n")
        .Expect("^RETR 1$")
        .Send(Retr(m1))
        .Expect("^DELE 1$")
        .Send("+OK Marked to be deleted.\r\n")
        .Expect("^RETR 2$")
        .Send(Retr(m2))
        .Expect("^DELE 2$")
        .Send("+OK Marked to be deleted.\r\n")
        .Expect("^QUIT$")
        .Send("+OK Logging out, messages deleted.\r\n")
        .Close();
    r.t.run.gLastError = "from before";
    r.Session();
    EXPECT_TRUE(s.failures().empty()) << s.failures()[0];
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1.TXT", "2.TXT"}));
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), Retr(m1));
    EXPECT_EQ(ReadFile(r.t.InFile("2.TXT")), Retr(m2));
    EXPECT_EQ(r.Status(), "Downloading 2 VOXA-FAXes");
    EXPECT_EQ(r.client->state().gPOPMailboxSize, 4567);
    EXPECT_EQ(r.t.run.gLastError, "from before");
    EXPECT_EQ(r.Elapsed(), 0ms);  // a prompt server is never waited for

    // A second session in the same run connects afresh.
    ScriptedServer s2(r.t.loop);
    LogOn(s2, "+OK 0 0\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.t.options.popPort = s2.port();
    r.client->CHECKMAIL_Click();
    EXPECT_TRUE(s2.finished());
    EXPECT_EQ(r.Status(), "No new VOXA-FAXes");
    EXPECT_EQ(r.form->gPOP_Error, 0);
}

TEST(PopSession, WrongPasswordSendsQuitAndReportsTheServerText) {
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
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  [AUTH] Authentication failed.\r\n");
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
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  no thanks\r\n");
}

TEST(PopSession, RefusedRetrieveEndsWithoutDeletingAnything) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    LogOn(s, "+OK 2 100\r\n")
        .Expect("^RETR 1$")
        .Send("-ERR [SYS/TEMP] The message could not be read from the mail store.\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    for (const auto& line : s.lines()) EXPECT_EQ(line.find("DELE"), std::string::npos);
    for (const auto& line : s.lines()) EXPECT_EQ(line.find("QUIT"), std::string::npos);
    EXPECT_TRUE(r.InFiles().empty());  // the partly written file is gone
    EXPECT_EQ(r.Status(), "Downloading 2 VOXA-FAXes");
    EXPECT_EQ(r.Elapsed(), 0ms);  // fifty characters and more are judged at once

    // A short refusal is only given up at the next tick.
    ScriptedServer s2(r.t.loop);
    r.t.options.popPort = s2.port();
    LogOn(s2, "+OK 1 100\r\n").Expect("^RETR 1$").Send("-ERR no such message\r\n");
    r.client->CHECKMAIL_Click();
    EXPECT_EQ(r.Elapsed(), r.t.env.tick);
    EXPECT_TRUE(r.InFiles().empty());
}

TEST(PopSession, DisconnectMidMessageKeepsEveryMessageOnTheServer) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    const std::string whole = Retr(Message(std::string(9000, 'z') + "\r\n"));
    LogOn(s, "+OK 3 30000\r\n").Expect("^RETR 1$").Send(whole.substr(0, 5000)).Close();
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, -1);
    EXPECT_TRUE(r.InFiles().empty());
    for (const auto& line : s.lines()) {
        EXPECT_EQ(line.find("DELE"), std::string::npos);
        EXPECT_EQ(line.find("QUIT"), std::string::npos);
    }
    EXPECT_TRUE(r.t.run.gLastError.starts_with("Retrieval Error : ")) << r.t.run.gLastError;
}

// Servers answer with a bare "+OK" line (greeting, USER): that is consent.
TEST(PopSession, BarePlusOkRepliesAreAccepted) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("+OK\r\n")
        .Expect("^USER fax1$")
        .Send("+OK\r\n")
        .Expect("^PASS secret$")
        .Send("+OK\r\n")
        .Expect("^STAT$")
        .Send("+OK 0 0\r\n")
        .Expect("^QUIT$")
        .Send("+OK\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, 0);
    EXPECT_EQ(r.Status(), "No new VOXA-FAXes");
}

TEST(PopSession, GreetingThatIsNoReplySendsNothingNewAndTimesOut) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.Send("* hello\r\n").GoSilent();
    r.t.run.gLastError = "kept";
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, 7);
    EXPECT_EQ(r.Elapsed(), 2 * r.t.env.tick);
    EXPECT_EQ(r.t.run.gLastError, "kept");
    EXPECT_EQ(s.bytesReceived(), 0u);  // the command left from before was empty
}

TEST(PopSession, SilentServerFailsToConnectWithinTheTicks) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    s.GoSilent();
    r.t.cfg.gTimoutMinutes = 3;
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, 6);
    EXPECT_EQ(r.Elapsed(), 3 * r.t.env.tick);

    // Nobody listening at all.
    PopRun r2(1);  // privileged and closed
    r2.Session();
    EXPECT_EQ(r2.form->gPOP_Error, 6);
}

TEST(PopSession, AMessageArrivingInPiecesIsWrittenWhole) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    std::string body;
    for (int i = 0; body.size() < 10000; ++i)
        body += "line " + std::to_string(i) + " of the fax\r\n";
    const std::string whole = Retr(Message(body));
    LogOn(s, "+OK 1 10000\r\n").Expect("^RETR 1$");
    for (std::size_t at = 0; at < whole.size(); at += 1500)
        s.SendPartial(whole.substr(at, 1500), 5ms);
    s.Expect("^DELE 1$").Send("+OK\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), whole);
}

TEST(PopSession, AMessageShorterThanFiftyCharactersIsFetched) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    LogOn(s, "+OK 1 2\r\n")
        .Expect("^RETR 1$")
        .Send("+OK 2 octets\r\n\r\n.\r\n")
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^QUIT$")
        .Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), "+OK 2 octets\r\n\r\n.\r\n");
}

TEST(PopSession, TerminatorSplitAcrossAWrittenBlockIsRecognised) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    // The first piece is exactly one file block and ends with CR LF of the
    // terminator; ".\r\n" comes alone.
    const std::string head = "+OK 4000 octets\r\n";
    std::string msg = Message("");
    msg += std::string(4096 - head.size() - msg.size() - 2, 'k') + "\r\n";
    const std::string first = head + msg;
    ASSERT_EQ(first.size(), 4096u);
    LogOn(s, "+OK 1 4000\r\n")
        .Expect("^RETR 1$")
        .SendPartial(first, 100ms)
        .Send(".\r\n")
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^QUIT$")
        .Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, 0);
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), first + ".\r\n");
}

TEST(PopSession, StatRefusedOrUnresolvableServer) {
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
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  mailbox locked\r\n");

    PopRun r2(1);
    r2.t.run.gPOPServer = "no-such-host.invalid";
    r2.t.run.gLastError = "x";
    r2.Session();
    EXPECT_EQ(r2.form->gPOP_Error, -1);
    EXPECT_EQ(r2.t.run.gLastError, "");
}

}  // namespace
