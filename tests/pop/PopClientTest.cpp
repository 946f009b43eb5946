#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

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
using testsupport::WriteFile;

// A run against a scripted server on loopback.
class PopSession : public ::testing::Test {
  protected:
    PopSession() { r.t.options.popPort = s.port(); }
    PopRun r{0};
    ScriptedServer s{r.t.loop};
};

// Each new message is handed over whole while the server works on the next
// command: the next RETR, or for the last one, before QUIT. A copy of one
// delivered before is not. Its file reaches In/ as always, and the run is
// told where.
TEST_F(PopSession, EachNewMessageIsHandedOverWhileTheServerWorksOnTheNextCommand) {
    const std::string m1 = Message("one"), m2 = Message("two"), m3 = Message("three");
    Mailbox(s, {{"u1", m1}, {"u2", m2}, {"u3", m3}});
    Fetch(s, 1, m1);
    Fetch(s, 2, m2);
    Fetch(s, 3, m3).Expect("^QUIT$").Send("+OK\r\n");
    r.Make();
    // Message 2 was delivered by an earlier run.
    r.client->staging().Open(r.wallNow);
    r.wallNow += 1;
    WriteFile(r.client->staging().PartFor(2), Retr(m2));
    ASSERT_EQ(r.client->staging().Whole(2, "u2"), pop::PopStaging::Arrival::New);
    r.client->staging().Close();
    std::remove(r.t.InFile("2.TXT").c_str());

    std::vector<std::string> taken, moved;
    r.client->takeWhole = [&](const std::string& staged) {
        r.Pump();  // the conversion yields to the loop: the server reads meanwhile
        taken.push_back(ReadFile(staged) + "|" + s.lines().back());
    };
    r.client->staging().movedIntoIn = [&](const std::string& from, const std::string& to) {
        moved.push_back(from.substr(from.rfind('_')) + ">" + to.substr(to.rfind('/') + 1));
    };
    r.client->CHECKMAIL_Click();
    EXPECT_TRUE(s.failures().empty()) << s.failures()[0];
    EXPECT_EQ(taken, (std::vector<std::string>{Retr(m1) + "|RETR 2", Retr(m3) + "|DELE 3"}));
    EXPECT_EQ(moved, (std::vector<std::string>{"_1.TXT>1.TXT", "_3.TXT>3.TXT"}));
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1.TXT", "3.TXT"}));
}

TEST_F(PopSession, DownloadsEveryMessageDeletesItAndQuits) {
    ASSERT_TRUE(s.listening());
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
TEST_F(PopSession, WrongPasswordIsReportedWithTheServersWordsAndNoPassword) {
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
TEST_F(PopSession, ReplyWithoutBlankRepeatsThePreviousCommand) {
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
TEST_F(PopSession, BarePlusOkRepliesAreAccepted) {
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

// A port typo onto another kind of server: its greeting says so, and the
// session ends at once instead of waiting out the time-out.
TEST_F(PopSession, AGreetingOfAnotherProtocolFailsAtOnce) {
    s.Send("220 smtp.example.test ESMTP\r\n").GoSilent();
    r.t.run.gLastError = "kept";
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, 6);
    EXPECT_EQ(r.Elapsed(), 0ms);
    EXPECT_EQ(r.t.run.gLastError, "kept");
    EXPECT_EQ(s.bytesReceived(), 0u);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::ServerUnreachable);
    EXPECT_EQ(
        r.LogWith("the greeting \"220 smtp.example.test ESMTP\" is not a POP3 server's").size(),
        1u);
}

// Failures that are known at once end the session at once and say why; only
// a silent server is waited for.
TEST_F(PopSession, ConnectFailuresAreNamedAndOnlySilenceIsWaitedFor) {
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
TEST_F(PopSession, TheConfiguredHostWinsOverTheAddressDomain) {
    r.t.options.popHost = "pop.example.test";
    r.t.run.gPOPServer = "no-such-host.invalid";
    LogOn(s, "+OK 0 0\r\n").Expect("^QUIT$").Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(
        r.LogWith("pop3 pop.example.test:" + std::to_string(s.port()) + ": connecting").size(), 1u);
}

TEST_F(PopSession, TinyMessagesAndTerminatorsSplitAcrossBlocksAreRecognised) {
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

TEST_F(PopSession, StatRefusedIsReportedWithTheServersText) {
    LogOn(s, "-ERR mailbox locked\r\n");
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, -1);
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error :  mailbox locked");
    EXPECT_EQ(r.LogWith("STAT refused: \"-ERR mailbox locked\"").size(), 1u);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::Retrieval);
}

}  // namespace

namespace {

// A whole session as the server sees it: each command it expects and the
// reply it gives.
struct Turn {
    std::string expect;
    std::string reply;
};

std::vector<Turn> WholeSession(const std::string& m1, const std::string& m2) {
    const std::string total = std::to_string(m1.size() + m2.size());
    return {{"", "+OK Ready.\r\n"},
            {"^USER fax1$", "+OK\r\n"},
            {"^PASS secret$", "+OK Logged in.\r\n"},
            {"^STAT$", "+OK 2 " + total + "\r\n"},
            {"^LIST$", "+OK 2 messages\r\n1 " + std::to_string(m1.size()) + "\r\n2 " +
                           std::to_string(m2.size()) + "\r\n.\r\n"},
            {"^UIDL$", "+OK\r\n1 u1\r\n2 u2\r\n.\r\n"},
            {"^RETR 1$", Retr(m1)},
            {"^DELE 1$", "+OK Marked to be deleted.\r\n"},
            {"^RETR 2$", Retr(m2)},
            {"^DELE 2$", "+OK Marked to be deleted.\r\n"},
            {"^QUIT$", "+OK Logging out, messages deleted.\r\n"}};
}

// Plays the turns; reply `split` goes in pieces cut at the positions given.
void Play(ScriptedServer& s, const std::vector<Turn>& turns, std::size_t split,
          const std::vector<std::size_t>& cuts, const std::string& injected = "") {
    for (std::size_t i = 0; i < turns.size(); ++i) {
        if (!turns[i].expect.empty()) s.Expect(turns[i].expect);
        const std::string& reply = turns[i].reply;
        std::size_t from = 0;
        if (i == split)
            for (std::size_t cut : cuts) {
                s.SendPartial(reply.substr(from, cut - from), 1ms);
                from = cut;
            }
        s.Send(reply.substr(from) + injected);
    }
}

// Every reply of a whole session cut at every byte position, or dripped a
// byte at a time, or followed by a line the server should not have sent:
// the session goes the same way every time.
TEST_F(PopSession, RepliesCutAnywhereOrFollowedByStrayLinesChangeNothing) {
    // Hundreds of sessions, each making its downloads durable before QUIT:
    // their folders live in memory, where that costs nothing.
    const char* tmp = std::getenv("TMPDIR");
    const std::string before = tmp ? tmp : "";
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    struct Restore {
        std::string value;
        ~Restore() { value.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", value.c_str(), 1); }
    } restore{before};
    const std::string m1 = "Subject: 1\r\n\r\n..\r\nx\r\n";
    const std::string m2 = "Subject: 2\r\n\r\n";
    const std::vector<Turn> turns = WholeSession(m1, m2);
    std::vector<std::string> files = {Retr(m1), Retr(m2)};
    std::sort(files.begin(), files.end());
    auto session = [&](std::size_t split, const std::vector<std::size_t>& cuts,
                       const std::string& injected) {
        PopRun run(0);
        ScriptedServer server(run.t.loop);
        run.t.options.popPort = server.port();
        Play(server, turns, split, cuts, injected);
        run.Session();
        const std::string where = "reply " + std::to_string(split) + " cut in " +
                                  std::to_string(cuts.size() + 1) + ", injected " + injected;
        EXPECT_TRUE(server.failures().empty()) << where << ": " << server.failures()[0];
        EXPECT_TRUE(server.finished()) << where;
        EXPECT_EQ(run.form->gPOP_Error, 0) << where;
        EXPECT_EQ(run.InTexts(), files) << where;
        EXPECT_EQ(run.Status(), "Downloading 2 VOXA-FAXes") << where;
        return !HasFailure();
    };
    for (std::size_t i = 0; i < turns.size(); ++i) {
        const std::string& reply = turns[i].reply;
        for (std::size_t cut = 1; cut < reply.size(); ++cut)
            if (!session(i, {cut}, "")) return;
        std::vector<std::size_t> drip;
        for (std::size_t cut = 1; cut < reply.size(); ++cut) drip.push_back(cut);
        if (!session(i, drip, "")) return;
    }
    session(turns.size(), {}, "+OK stray line\r\n");
    session(turns.size(), {}, "-ERR stray line\r\n");
}

}  // namespace
