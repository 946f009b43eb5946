// Downloads reach In/ only once QUIT was sent: a run killed earlier leaves the
// messages on the server and nothing to convert, so nothing is doubled.
#include <gtest/gtest.h>

#include "tests/pop/PopFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"

using poptest::PopRun;
using testsupport::ReadFile;
using testsupport::ScriptedServer;
using testsupport::WriteFile;

namespace {
const std::string kMsg = "+OK 30 octets\r\nSubject: x\r\n\r\nbody\r\n.\r\n";
}

TEST(PopStaging, DownloadsOfASessionThatNeverSentQuitAreDropped) {
    PopRun r(1);  // nothing listens on port 1: the session fails
    WriteFile(r.t.run.gInDir + ".pop/1.TXT", kMsg);
    r.Session();
    EXPECT_TRUE(r.InFiles().empty());
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/1.TXT"));
}

TEST(PopStaging, DownloadsAfterQuitWasSentReachInWithoutReplacingAnything) {
    PopRun r(1);
    WriteFile(r.t.run.gInDir + "1.TXT", "left from before");
    WriteFile(r.t.run.gInDir + ".pop/1.TXT", kMsg);
    WriteFile(r.t.run.gInDir + ".pop/2.TXT", kMsg);
    WriteFile(r.t.run.gInDir + ".pop/quit-sent", "");
    r.Session();
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1-2.TXT", "1.TXT", "2.TXT"}));
    EXPECT_EQ(ReadFile(r.t.run.gInDir + "1.TXT"), "left from before");
    EXPECT_EQ(ReadFile(r.t.run.gInDir + "1-2.TXT"), kMsg);
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/quit-sent"));
}

TEST(PopStaging, ASessionCutOffAfterSomeMessagesLeavesInEmpty) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    poptest::LogOn(s, "+OK 2 60\r\n")
        .Expect("^RETR 1$")
        .Send(kMsg)
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^RETR 2$")
        .Close();
    r.Session();
    EXPECT_TRUE(r.InFiles().empty());  // message 1 is still on the server
}

// QUIT was sent but the run died before its answer: the files are delivered
// and remembered; if the server had not carried QUIT out, the copies it
// hands out again are recognised and dropped (and deleted on the server).
TEST(PopStaging, AMessageDeliveredOnAnUncertainQuitIsNotDeliveredAgain) {
    PopRun r(0);
    WriteFile(r.t.run.gInDir + ".pop/1.TXT", kMsg);
    WriteFile(r.t.run.gInDir + ".pop/quit-sent", "");
    const std::string other = "+OK 31 octets\r\nSubject: y\r\n\r\nother\r\n.\r\n";
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    poptest::LogOn(s, "+OK 2 80\r\n")
        .Expect("^RETR 1$")
        .Send(kMsg)
        .Expect("^DELE 1$")
        .Send("+OK\r\n")
        .Expect("^RETR 2$")
        .Send(other)
        .Expect("^DELE 2$")
        .Send("+OK\r\n")
        .Expect("^QUIT$")
        .Send("+OK Bye\r\n");
    r.Session();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.InFiles(), (std::vector<std::string>{"1.TXT", "2.TXT"}));
    EXPECT_EQ(ReadFile(r.t.run.gInDir + "1.TXT"), kMsg);
    EXPECT_EQ(ReadFile(r.t.run.gInDir + "2.TXT"), other);
    EXPECT_FALSE(std::filesystem::exists(r.t.run.gInDir + ".pop/uncertain"));
}
