// The SMTP client's use of the socket layer: on a fake socket (exact control
// over accepted byte counts), and against a scripted server that cuts its
// replies anywhere.
#include <gtest/gtest.h>

#include "mailout/SMTPprocedures.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/mailout/MailoutFixture.h"

using namespace std::chrono_literals;
using platform::FakeSocket;
using testsupport::ScriptedServer;

namespace mailtest {
namespace {

class FakeWire : public ::testing::Test {
  protected:
    FakeWire() : run(fakes) {}
    FakeSocket& Smtp() { return *fakes.made.at(0); }
    platform::FakeSocketFactory fakes;
    MailRun run;
};

TEST_F(FakeWire, MessageIsSentInBlocksOf256WithTheEndMarkerOnce) {
    Smtp().SetHostAddress("127.0.0.1");
    ASSERT_EQ(Smtp().Connect(25), 0);
    run.c.loop.Yield();
    ASSERT_TRUE(Smtp().Connected());
    struct Case {
        std::string body;
        std::vector<std::size_t> blocks;
    };
    const std::string end = "\r\n\r\n.\r\n";
    const std::vector<Case> cases = {
        {std::string(249, 'x'), {256}},     // 249 + marker = 256: one block
        {std::string(250, 'x'), {256, 1}},  // 257: two
        {std::string(600, 'y') + end, {256, 256, 95}},
        {".leading dot\r\n" + end, {22}},  // dot-stuffed on the wire
    };
    for (const auto& c : cases) {
        Smtp().offers.clear();
        Smtp().written.clear();
        run.St().gMessageBody = c.body;
        EXPECT_TRUE(mailout::SMTPWriteBlock(run.F(), run.St(), run.sv));
        std::vector<std::size_t> sizes;
        for (const auto& o : Smtp().offers) sizes.push_back(o.size());
        EXPECT_EQ(sizes, c.blocks) << c.body.size();
        std::string want = c.body.ends_with(end) ? c.body : c.body + end;
        if (want.starts_with(".")) want.insert(0, ".");
        EXPECT_EQ(Smtp().written, want);
    }
}

// Every reply of a whole dialogue cut at every byte position, or dripped a
// byte at a time: the message is delivered the same way each time. The
// historical rule that a multi-line reply is wrong holds, judged on the
// whole reply however it was cut.
TEST(WholeReplies, ADialogueGoesTheSameWayWhereverItsRepliesAreCut) {
    const std::vector<std::pair<std::string, std::string>> turns = {
        {"", "220 sink.test ready\r\n"},       {"^HELO ", "250 sink.test\r\n"},
        {"^MAIL FROM: <", "250 2.1.0 ok\r\n"}, {"^RCPT TO: <", "250 2.1.5 ok\r\n"},
        {"^DATA$", "354 go ahead\r\n"},        {"", "250 2.0.0 queued\r\n"},
        {"^QUIT$", "221 2.0.0 bye\r\n"}};
    platform::TcpSocketFactory factory(platform::TableResolver({}));
    auto dialogue = [&](std::size_t split, const std::vector<std::size_t>& cuts) {
        MailRun run(factory);
        ScriptedServer s(run.c.loop);
        for (std::size_t i = 0; i < turns.size(); ++i) {
            if (i == 5) s.Capture("\r\n.\r\n");
            if (!turns[i].first.empty()) s.Expect(turns[i].first);
            const std::string& reply = turns[i].second;
            std::size_t from = 0;
            if (i == split)
                for (std::size_t cut : cuts) {
                    s.SendPartial(reply.substr(from, cut - from), 1ms);
                    from = cut;
                }
            s.Send(reply.substr(from));
        }
        run.c.options.smtpPort = s.port();
        run.St().gSMTPServer = "127.0.0.1";
        run.St().gSMTPSenderAddr = "fax1@voxafax.example";
        run.St().gSMTPRecipAddr = "rcpt@dest.test";
        run.St().gMessageBody = "Subject: hi\r\n\r\nline\r\n";
        EXPECT_TRUE(mailout::SendEMail(run.F(), run.St(), run.sv))
            << split << " in " << cuts.size() + 1;
        EXPECT_EQ(run.St().gSMTPLog, "SMTP_CONFIRM_QUIT + 221 2.0.0 bye + Alles OK, ");
        EXPECT_TRUE(s.finished());
        return !::testing::Test::HasFailure();
    };
    for (std::size_t i = 0; i < turns.size(); ++i) {
        const std::string& reply = turns[i].second;
        std::vector<std::size_t> drip;
        for (std::size_t cut = 1; cut < reply.size(); ++cut) {
            if (!dialogue(i, {cut})) return;
            drip.push_back(cut);
        }
        if (!dialogue(i, drip)) return;
    }

    // A multi-line reply to HELO, cut inside its continuation: wrong, as a
    // whole, and answered with QUIT.
    MailRun run(factory);
    ScriptedServer s(run.c.loop);
    s.Send("220 ready\r\n")
        .Expect("^HELO ")
        .SendPartial("250-sink.test\r\n25", 1ms)
        .Send("0 SIZE 100\r\n")
        .Expect("^QUIT$")
        .Send("221 bye\r\n");
    run.c.options.smtpPort = s.port();
    run.St().gSMTPServer = "127.0.0.1";
    EXPECT_FALSE(mailout::SendEMail(run.F(), run.St(), run.sv));
    EXPECT_EQ(run.F().gSMTP_Error, net::kSmtpServiceUnavailable);
    EXPECT_TRUE(s.finished());
}

}  // namespace
}  // namespace mailtest
