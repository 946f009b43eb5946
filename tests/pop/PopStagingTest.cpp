// Sessions that fail part-way, across runs: every message that arrived whole
// is delivered once, a message that keeps failing stops holding back the
// others, and nothing staged is lost. Each run plays against a scripted
// server that holds what the real one would still hold.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/Files.h"
#include "tests/pop/PopFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using poptest::Fetch;
using poptest::Mailbox;
using poptest::Message;
using poptest::Msg;
using poptest::PopRun;
using poptest::Retr;
using testsupport::ReadFile;
using testsupport::ScriptedServer;
using testsupport::WriteFile;

namespace {

const Msg kA{"uid-a", Message("A")};
const Msg kB{"uid-b", Message("B", "second fax\r\n")};
const Msg kC{"uid-c", Message("C", "third fax\r\n")};
const std::string kRefused = "-ERR [SYS/TEMP] The message could not be read.\r\n";

bool NoQuit(const ScriptedServer& s) {
    for (const auto& line : s.lines())
        if (line == "QUIT") return false;
    return true;
}

// One message refused in every run: message 1 before it is delivered in the
// first run and only recognised (and deleted) in the next; no QUIT follows a
// failed RETR. After three failed runs it is passed over, the others are
// fetched exactly once, and it stays on the server.
TEST(PartialSessions, AMessageThatKeepsFailingIsPassedOverAndNamed) {
    PopRun r(0);
    for (int run = 1; run <= 3; ++run) {
        ScriptedServer s(r.t.loop);
        Mailbox(s, {kA, kB, kC});
        Fetch(s, 1, kA.text).Expect("^RETR 2$").Send(kRefused);
        r.NextRun(s);
        ASSERT_TRUE(s.finished()) << run;
        EXPECT_TRUE(NoQuit(s)) << run;
        EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text)})) << run;
        EXPECT_EQ(r.t.run.gLastError,
                  "Retrieval Error : RETR 2: -ERR [SYS/TEMP] The message could not be read.");
    }
    EXPECT_EQ(r.LogWith("(failure 2 in a row)").size(), 1u);
    EXPECT_EQ(r.t.run.stats.messagesDownloaded, 1);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::Retrieval);
    EXPECT_EQ(r.LogWith("was delivered by an earlier run").size(), 2u);
    ScriptedServer fourth(r.t.loop);
    Mailbox(fourth, {kA, kB, kC});
    Fetch(fourth, 1, kA.text);
    Fetch(fourth, 3, kC.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(fourth);
    EXPECT_TRUE(fourth.finished());
    EXPECT_TRUE(fourth.failures().empty()) << fourth.failures()[0];
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text), Retr(kC.text)}));
    EXPECT_EQ(r.t.run.gLastError,
              "Retrieval Error : message 2 passed over, failed 3 times: RETR 2: -ERR [SYS/TEMP] "
              "The message could not be read.");
    const auto passed = r.LogWith("passed over and left on the server");
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_NE(passed[0].find("message 2 of 3 (42 bytes, UID uid-b) passed over"), std::string::npos)
        << passed[0];

    // Alone on the server it is still passed over, and the session ends well.
    ScriptedServer fifth(r.t.loop);
    Mailbox(fifth, {kB}).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(fifth);
    EXPECT_TRUE(fifth.finished());
    EXPECT_EQ(r.t.run.stats.messagesPassedOver, 2);
    EXPECT_EQ(r.InFiles().size(), 2u);

    // A day later it is tried again, and once fetched it is forgotten.
    r.wallNow += 25 * 3600;
    ScriptedServer later(r.t.loop);
    Mailbox(later, {kB});
    Fetch(later, 1, kB.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(later);
    EXPECT_TRUE(later.finished());
    EXPECT_EQ(r.InFiles().size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/failing"));
}

// Without unique-ids a message is known by its size.
TEST(PartialSessions, WithoutUidlTheSizeTellsTheFailingMessage) {
    PopRun r(0);
    const Msg a{"", kA.text}, b{"", kB.text};
    for (int run = 1; run <= 3; ++run) {
        ScriptedServer s(r.t.loop);
        Mailbox(s, {b, a}).Expect("^RETR 1$").Send(kRefused);
        r.NextRun(s);
    }
    ScriptedServer s(r.t.loop);
    Mailbox(s, {b, a});
    Fetch(s, 2, a.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(s);
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(a.text)}));
}

// Cut off in the middle of message 2: message 1 is delivered once over two
// runs, and last_error is one short line without any of the message's data.
TEST(PartialSessions, ADisconnectMidMessageDeliversWhatCameWholeOnce) {
    PopRun r(0);
    const Msg big{"uid-big", Message("big", std::string(9000, 'z') + "\r\n")};
    ScriptedServer first(r.t.loop);
    Mailbox(first, {kA, big});
    Fetch(first, 1, kA.text).Expect("^RETR 2$").Send(Retr(big.text).substr(0, 5000)).Close();
    r.NextRun(first);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text)}));
    EXPECT_EQ(r.t.run.gLastError,
              "Retrieval Error : RETR 2: Server Disconnected (5 KB of 10 KB received)");
    EXPECT_TRUE(NoQuit(first));

    ScriptedServer second(r.t.loop);
    Mailbox(second, {kA, big});
    Fetch(second, 1, kA.text);
    Fetch(second, 2, big.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(second);
    EXPECT_TRUE(second.finished());
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text), Retr(big.text)}));
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/uncertain"));
}

// A refused DELE followed by an accepted QUIT: the server keeps the message,
// and the next run recognises it instead of delivering it again.
// A run whose DELE of message A is refused: A reaches In/ and is remembered.
void RunRefusingDele(PopRun& r) {
    ScriptedServer first(r.t.loop);
    Mailbox(first, {kA})
        .Expect("^RETR 1$")
        .Send(Retr(kA.text))
        .Expect("^DELE 1$")
        .Send("-ERR cannot delete now\r\n")
        .Expect("^QUIT$")
        .Send("+OK\r\n");
    r.NextRun(first);
    EXPECT_TRUE(first.finished());
}

// The next run, with A still on the server: the copy is fetched and deleted,
// and In/ still holds A once.
void RunFindingTheCopy(PopRun& r) {
    ScriptedServer second(r.t.loop);
    Mailbox(second, {kA});
    Fetch(second, 1, kA.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(second);
    EXPECT_TRUE(second.finished());
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text)}));
}

TEST(PartialSessions, ARefusedDeleDoesNotDeliverTwice) {
    PopRun r(0);
    RunRefusingDele(r);
    EXPECT_EQ(r.LogWith("DELE 1 refused: \"-ERR cannot delete now\"").size(), 1u);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::None);
    struct stat st {};
    ASSERT_EQ(::stat((r.t.run.gInDir + ".pop/uncertain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RunFindingTheCopy(r);
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/uncertain"));
}

// The list an earlier version remembered holds digests in the earlier form:
// after an upgrade the copy the server hands out again is still known.
TEST(PartialSessions, AMessageRememberedBeforeAnUpgradeIsStillKnown) {
    PopRun r(0);
    RunRefusingDele(r);
    const std::string list = r.t.run.gInDir + ".pop/uncertain";
    const std::string line = ReadFile(list);
    const std::size_t blank = line.find(' ');
    ASSERT_NE(blank, std::string::npos) << line;
    ASSERT_EQ(platform::FormOf(line.substr(0, blank)), platform::DigestForm::Current);
    WriteFile(list, platform::FileDigest(r.t.InFile("1.TXT"), true, platform::DigestForm::Earlier)
                            .value_or("?") +
                        line.substr(blank));
    RunFindingTheCopy(r);
}

// A DELE that never gets an answer ends the session; it counts against its
// message, which is delivered once and, from the fourth run on, passed over,
// so that the fax behind it is no longer held back on every run.
TEST(PartialSessions, AnUnansweredDeleStopsHoldingBackTheMessagesBehindIt) {
    PopRun r(0);
    for (int run = 1; run <= 3; ++run) {
        ScriptedServer s(r.t.loop);
        Mailbox(s, {kA, kB}).Expect("^RETR 1$").Send(Retr(kA.text)).Expect("^DELE 1$").GoSilent();
        r.NextRun(s);
        EXPECT_TRUE(NoQuit(s)) << run;
        EXPECT_EQ(r.LogWith("(failure " + std::to_string(run) + " in a row").size(), 1u) << run;
        EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text)})) << run;
    }
    EXPECT_EQ(r.t.run.gLastError.rfind("Retrieval Error : DELE 1: no data for 60 s", 0), 0u)
        << r.t.run.gLastError;

    ScriptedServer fourth(r.t.loop);
    Mailbox(fourth, {kA, kB});
    Fetch(fourth, 2, kB.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(fourth);
    EXPECT_TRUE(fourth.finished()) << (fourth.failures().empty() ? "" : fourth.failures()[0]);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text), Retr(kB.text)}));
}

// A staged file that cannot be moved into In/ stays staged (the server has
// deleted it), and the next run moves it.
TEST(PartialSessions, AFailingMoveOutOfStagingLosesNothing) {
    PopRun r(0);
    ScriptedServer first(r.t.loop);
    Mailbox(first, {kA});
    Fetch(first, 1, kA.text).Expect("^QUIT$").Send("+OK\r\n");
    r.t.options.popPort = first.port();
    r.Make();
    r.client->staging().moveFile = [](const std::string&, const std::string&) { return EACCES; };
    r.client->CHECKMAIL_Click();
    EXPECT_TRUE(first.finished());
    EXPECT_TRUE(r.InFiles().empty());
    EXPECT_EQ(r.t.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.LogWith("; it stays there and the next run moves it").size(), 1u);
    EXPECT_EQ(r.client->staging().Undelivered(), 1u);

    ScriptedServer second(r.t.loop);
    Mailbox(second, {}).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(second);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kA.text)}));
    EXPECT_EQ(r.client->staging().Undelivered(), 0u);
}

// A run killed during the session leaves partial and whole downloads: the
// partial one is dropped (the server still has it), the whole one delivered
// and remembered; the copy the server hands out again is not delivered.
TEST(PartialSessions, WhatAKilledRunStagedIsSettledByTheNext) {
    PopRun r(0);
    WriteFile(r.t.run.gInDir + "1.TXT", "left from before");
    WriteFile(r.t.run.gInDir + ".pop/1700000000-42_1.TXT", Retr(kA.text));
    WriteFile(r.t.run.gInDir + ".pop/1700000000-42_2.part", "+OK 900 octets\r\nFrom: x");
    ScriptedServer s(r.t.loop);
    Mailbox(s, {kA, kB});
    // Another reply line for the same message: only the content counts.
    s.Expect("^RETR 1$")
        .Send("+OK message 1 follows\r\n" + kA.text + ".\r\n")
        .Expect("^DELE 1$")
        .Send("+OK\r\n");
    Fetch(s, 2, kB.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(s);
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1-2.TXT", "1.TXT", "2.TXT"}));
    EXPECT_EQ(ReadFile(r.t.InFile("1.TXT")), "left from before");
    EXPECT_EQ(ReadFile(r.t.InFile("1-2.TXT")), Retr(kA.text));
    EXPECT_EQ(ReadFile(r.t.InFile("2.TXT")), Retr(kB.text));
    EXPECT_TRUE(platform::ListFolder(r.t.run.gInDir + ".pop").value_or({}).empty());
}

// A mailbox whose first message LIST announces as 99 MiB; RETR 1 then drips
// a byte just before every tick.
const std::string kHuge = std::to_string(99 * 1024 * 1024);

ScriptedServer& HugeBox(ScriptedServer& s) {
    return poptest::LogOn(s, "+OK 2 " + kHuge + "\r\n")
        .Expect("^LIST$")
        .Send("+OK\r\n1 " + kHuge + "\r\n2 " + std::to_string(kB.text.size()) + "\r\n.\r\n")
        .Expect("^UIDL$")
        .Send("+OK\r\n1 uid-drip\r\n2 uid-b\r\n.\r\n");
}

void Drip(ScriptedServer& s, platform::Millis tick) {
    HugeBox(s).Expect("^RETR 1$").SendPartial("+OK " + kHuge + " octets\r\n", tick * 9 / 10);
    for (int i = 0; i < 600; ++i) s.SendPartial("x", tick * 9 / 10);
}

// The download is cut when it falls below the floor, within two ticks, and
// the message is passed over at once (at that pace no session could fetch
// it), so the next run fetches the messages behind it.
TEST(PartialSessions, ADripBelowTheFloorIsCutAndItsMessagePassedOverAtOnce) {
    PopRun r(0);
    ScriptedServer drip(r.t.loop);
    Drip(drip, r.t.env.tick);
    r.NextRun(drip);
    EXPECT_LE(r.Elapsed(), 2 * r.t.env.tick);
    EXPECT_EQ(r.t.run.gLastError.rfind("Retrieval Error : RETR 1: less than 60 KB in a minute", 0),
              0u)
        << r.t.run.gLastError;
    EXPECT_EQ(r.LogWith("; from the next run on it is passed over").size(), 1u);
    EXPECT_TRUE(NoQuit(drip));

    ScriptedServer next(r.t.loop);
    Fetch(HugeBox(next), 2, kB.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(next);
    EXPECT_TRUE(next.finished()) << (next.failures().empty() ? "" : next.failures()[0]);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kB.text)}));
    EXPECT_EQ(
        r.t.run.gLastError.rfind("Retrieval Error : message 1 passed over, failed 3 times", 0), 0u);
}

// Without a floor, the session's own deadline ends a drip: [pop3]
// session_minutes, whatever size the mailbox announces.
TEST(PartialSessions, TheSessionsDeadlineDoesNotGrowWithAnnouncedSizes) {
    PopRun r(0);
    r.t.options.popMinKbPerMinute = 0;
    r.t.options.popSessionMinutes = 5;
    ScriptedServer drip(r.t.loop);
    Drip(drip, r.t.env.tick);
    r.NextRun(drip);
    EXPECT_EQ(r.Elapsed(), 5 * r.t.env.tick);
    EXPECT_EQ(r.t.run.gLastError,
              "Retrieval Error : RETR 1: the session's deadline of 300 s "
              "passed (5 bytes of 103.8 MB received)");
    // At the pace it came it could never be fetched: passed over at once.
    EXPECT_EQ(r.LogWith("; from the next run on it is passed over").size(), 1u);
}

// Endless data for a message ends in an error, not a full disk; a message
// over [pop3] max_message_mb is never asked for.
TEST(PartialSessions, SizeLimitsBoundEveryDownload) {
    PopRun r(0);
    ScriptedServer flood(r.t.loop);
    Mailbox(flood, {kA}).Expect("^RETR 1$").Send("+OK 40 octets\r\n").Flood(0);
    r.NextRun(flood);
    EXPECT_NE(r.t.run.gLastError.find("RETR 1: the server sent more than 66 KB"), std::string::npos)
        << r.t.run.gLastError;
    EXPECT_TRUE(platform::ListFolder(r.t.run.gInDir + ".pop").value_or({}).size() <= 1u);

    r.t.options.popMaxMessageMb = 1;
    const Msg huge{"uid-huge", std::string(1024 * 1024 + 1, 'h')};
    ScriptedServer s(r.t.loop);
    Mailbox(s, {huge, kB});
    Fetch(s, 2, kB.text).Expect("^QUIT$").Send("+OK\r\n");
    r.NextRun(s);
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(kB.text)}));
    EXPECT_EQ(r.t.run.gLastError, "Retrieval Error : message 1 passed over, larger than 1 MB");
    EXPECT_EQ(r.LogWith("it is larger than [pop3] max_message_mb = 1 in").size(), 1u);
}

}  // namespace
