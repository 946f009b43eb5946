// Server choice over the nine candidate rows, account.ini, the Out/ queue and
// the test message, against scripted loopback servers. Names resolve from a
// fixed table only: nothing leaves the machine.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/SMTPprocedures.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/TempDir.h"

using testsupport::ScriptedServer;
namespace fs = std::filesystem;

namespace mailtest {
namespace {

class Rows : public ::testing::Test {
  protected:
    Rows()
        : factory(platform::TableResolver({{"dest.test", {"127.0.0.1"}},
                                           {"user.smtp", {"127.0.0.1"}},
                                           {"vf.smtp", {"127.0.0.3"}}})),
          run(factory) {
        run.c.options.smtpPort = server.port();
        auto& cfg = run.c.cfg;
        cfg.gUserSMTPServer = "";
        cfg.gSMTPServer2 = "";
        cfg.gVFIPAddress = "";
        cfg.gVFSMTPSrvrName = "voxafax.example";
        cfg.gLastResortSMTPServer = "smtp.voxafax.example";
        cfg.gNormalEMailAddr = "";
        run.St().gMessageBody = "To:x\r\n\r\nbody\r\n";
    }
    platform::TcpSocketFactory factory;
    MailRun run;
    ScriptedServer server{run.c.loop};
};

TEST_F(Rows, DisplayNameIsReducedAndDefaultsLeaveFourRows) {
    // Nothing listens on dest.test's address: every row fails, each in turn.
    server.Send("421 busy\r\n").Close();
    run.St().gSMTPRecipAddr = "Someone <someone@nowhere.test>";
    run.St().gSMTPSenderAddr = "fax1@voxafax.example";
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Processed"));
    EXPECT_EQ(run.St().gSMTPRecipAddr, "someone@nowhere.test");
    EXPECT_EQ(run.mailer->LastAttempts(),
              "nowhere.test + fax1@voxafax.example , mail.nowhere.test + fax1@voxafax.example , "
              "voxafax.example + fax1@voxafax.example , smtp.voxafax.example + "
              "fax1@voxafax.example , ");
    EXPECT_EQ(run.c.run.gLastError, "5");
    EXPECT_EQ(run.Account("Version"), "VOXA-FAX Print v 0.8.1");
    EXPECT_EQ(run.Account("SMTP_Type"), "MDN+Processed_NOT_OK");
    const std::string account = testsupport::ReadFile(run.c.run.gAppPath + "/account.ini");
    EXPECT_NE(account.find("\nSMTP_Servers=" + run.mailer->LastAttempts() + "\n"),
              std::string::npos)
        << account;
    EXPECT_NE(account.find("\nSMTP_State=" + run.St().gSMTPLog + "\n"), std::string::npos);
    // Sending says nothing in print_status: that is the scheduler's, and
    // the run log names the servers.
    std::string status;
    run.c.profile.GetProfileStringA("VOXA-FAX", "print_status", "<absent>", status);
    EXPECT_EQ(status, "<absent>");
    const std::string firstLog = run.Account("SMTP_State");
    EXPECT_NE(firstLog.find("SMTP_CallHost +  + Unable to obtain"), std::string::npos);

    // The log grows through the run, and every row is listed as it always
    // was, also those found missing before (which cost no second lookup).
    run.St().gSMTPRecipAddr = "other@elsewhere.test";
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Failed"));
    EXPECT_EQ(run.mailer->LastAttempts(),
              "elsewhere.test + fax1@voxafax.example , mail.elsewhere.test + "
              "fax1@voxafax.example , voxafax.example + fax1@voxafax.example , "
              "smtp.voxafax.example + fax1@voxafax.example , ");
    EXPECT_EQ(run.Account("SMTP_State").rfind(firstLog, 0), 0u);
    EXPECT_GT(run.Account("SMTP_State").size(), firstLog.size());
    EXPECT_EQ(run.Account("SMTP_Type"), "MDN+Failed_NOT_OK");
}

TEST_F(Rows, RowsRunInOrderAndAnUnreachableAddressIsNotWaitedOnAgain) {
    auto& cfg = run.c.cfg;
    cfg.gVFIPAddress = "127.0.0.9";  // nothing listens there: refused
    cfg.gUserSMTPServer = "user.smtp";
    cfg.gSMTPServer2 = "second.smtp";
    cfg.gNormalEMailAddr = "me@home.test";
    run.St().gSMTPRecipAddr = "fax2@voxafax.example";
    run.St().gSMTPSenderAddr = "fax1@voxafax.example";
    server.Send("554 no service\r\n").Close();  // user.smtp refuses with a bad greeting
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Processed"));
    // Mail to the service's domain goes to its address. Every row is
    // listed; user.smtp answered, so it is asked again with the other
    // sender, while 127.0.0.9 (rows 1 and 7) refused once and is not asked
    // again.
    const std::string s = "fax1@voxafax.example";
    EXPECT_EQ(run.mailer->LastAttempts(),
              "127.0.0.9 + " + s + " , mail.127.0.0.9 + " + s +
                  " , user.smtp + me@home.test , second.smtp + me@home.test , user.smtp + " + s +
                  " , second.smtp + " + s + " , 127.0.0.9 + " + s + " , voxafax.example + " + s +
                  " , smtp.voxafax.example + " + s + " , ");
    EXPECT_EQ(server.connections(), 2);  // rows 3 and 5
    // The refusal of 127.0.0.9 cost at most one wait, not one per row.
    EXPECT_LE(run.Elapsed(), mailout::ReplyWaitLimit(run.sv));
}

TEST_F(Rows, AServerFoundSilentIsNotWaitedOnAgainUnderAnotherName) {
    // user.smtp and 127.0.0.1 are one server, which never greets.
    server.GoSilent();
    auto& cfg = run.c.cfg;
    cfg.gUserSMTPServer = "user.smtp";
    cfg.gSMTPServer2 = "127.0.0.1";
    cfg.gNormalEMailAddr = "me@home.test";
    cfg.gVFSMTPSrvrName = "";
    cfg.gLastResortSMTPServer = "";
    run.St().gSMTPRecipAddr = "x@nowhere.test";
    run.St().gSMTPSenderAddr = "fax1@voxafax.example";
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Processed"));
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(run.Elapsed(), 2 * run.c.env.tick);  // one wait for a greeting, not four
    EXPECT_EQ(run.mailer->LastAttempts(),
              "nowhere.test + fax1@voxafax.example , mail.nowhere.test + fax1@voxafax.example , "
              "user.smtp + me@home.test , 127.0.0.1 + me@home.test , user.smtp + "
              "fax1@voxafax.example , 127.0.0.1 + fax1@voxafax.example , ");
    EXPECT_EQ(run.c.run.gLastError, "6");
}

TEST_F(Rows, TestSendStopsWhenTheFirstRowRefusesTheRecipient) {
    run.c.cfg.gVoxaFaxAddr = "fax1@dest.test";
    run.c.cfg.gUserSMTPServer = "user.smtp";  // would take it, but is never asked
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    UpToRcpt(server, "550 no such user\r\n").Expect("^QUIT").Send("221 bye\r\n").Close();
    run.mailer->SendTestVoxaFax();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.lines().at(2), "RCPT TO: <fax1@dest.test>");
    EXPECT_EQ(run.mailer->LastAttempts(), "dest.test + fax1@dest.test , ");
    EXPECT_EQ(run.c.run.gLastError, "2");
    EXPECT_EQ(run.Account("SMTP_Type"), "Test_VOXA_FAX_NOT_OK");
    std::string buf;
    run.c.profile.GetProfileStringA("VOXA-FAX", "test_server", "<absent>", buf);
    EXPECT_EQ(buf, "");
    EXPECT_FALSE(run.St().gflgTestSend);
    // The run failed at what it was started for, and says where and why.
    EXPECT_EQ(run.c.run.failure, config::RunFailure::SendFailed);
    ASSERT_EQ(run.c.log.Problems().size(), 1u);
    EXPECT_NE(run.c.log.Problems()[0].find("test message to fax1@dest.test reached no SMTP server: "
                                           "dest.test:" +
                                           std::to_string(server.port()) +
                                           " refused the recipient: \"550 no such user\" "
                                           "(last_error 2: the SMTP server refused the recipient)"),
              std::string::npos)
        << run.c.log.Problems()[0];
}

TEST_F(Rows, TestSendRecordsTheServerThatTookIt) {
    run.c.cfg.gVoxaFaxAddr = "fax1@dest.test";
    HappySmtp(server);
    run.mailer->SendTestVoxaFax();
    std::string buf;
    run.c.profile.GetProfileStringA("VOXA-FAX", "test_server", "<absent>", buf);
    EXPECT_EQ(buf, "dest.test");
    EXPECT_EQ(run.Account("SMTP_Type"), "Test_VOXA_FAX_OK");
    EXPECT_EQ(run.c.run.failure, config::RunFailure::None);
    ASSERT_EQ(server.captures().size(), 1u);
    EXPECT_EQ(server.captures()[0], run.St().gMessageBody);
    EXPECT_EQ(server.captures()[0].rfind("To: <fax1@dest.test>\r\nMessage-Id: <VFTEST.", 0), 0u);
}

class Queue : public Rows {
  protected:
    mailout::ReceiptInputs Receipt() {
        mailout::ReceiptInputs in;
        in.gSubject = "Invoice";
        in.gDispositionType = "Processed";
        in.gPageCount = "1";
        return in;
    }
};

TEST_F(Queue, RefusedReceiptWaitsInOutAndTheNextRunSendsIt) {
    run.c.cfg.gVoxaFaxAddr = "fax1@voxafax.example";
    run.c.cfg.gflgSaveMDNs = true;
    // First run: the recipient's server refuses it, nothing else is set up.
    UpToRcpt(server, "450 try later\r\n").Expect("^QUIT").Send("221 bye\r\n").Close();
    run.St().gSMTPRecipAddr = "sender@dest.test";
    run.mailer->SendReceipt(Receipt());
    run.St().gSMTPRecipAddr = "sender@dest.test";
    mailout::ReceiptInputs second = Receipt();
    second.gSubject = "Order";
    run.mailer->SendReceipt(second);  // same second, most likely: both must stay
    auto queued = NamesIn(run.c.run.gOutFolder);
    ASSERT_EQ(queued.size(), 2u);
    const std::string first = testsupport::ReadFile(run.c.run.gOutFolder + queued[0]);
    EXPECT_EQ(first.rfind("To:sender@dest.test\r\nFrom:fax1@voxafax.example\r\n", 0), 0u);
    EXPECT_EQ(run.Account("SMTP_Type"), "MDN+Processed_NOT_OK");
    EXPECT_TRUE(NamesIn(run.c.run.gMDNFolder).empty());

    // Next run, once the first retry is due: a fresh mailer has no sender
    // yet, so only the user's own server rows (3 and 4) can run.
    run.wall += 5 * 60;
    ScriptedServer user(run.c.loop, "127.0.0.1");
    HappySmtp(user);
    HappySmtp(user);  // a second connection replays the script from the start
    run.c.options.smtpPort = user.port();
    run.c.cfg.gUserSMTPServer = "user.smtp";
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    mailout::Mailer next(run.sv, run.F());
    next.SendQueuedFiles();
    EXPECT_EQ(user.connections(), 2);
    EXPECT_EQ(user.lines().at(0), "HELO user.smtp");
    EXPECT_EQ(user.lines().at(1), "MAIL FROM: <me@home.test>");
    // The second file goes out with the sender the first one left, so the
    // recipient's own server (row 1) is asked first.
    EXPECT_EQ(next.LastAttempts(), "dest.test + me@home.test , ");
    EXPECT_TRUE(NamesIn(run.c.run.gOutFolder).empty());
    EXPECT_EQ(NamesIn(run.c.run.gMDNFolder), queued);
    EXPECT_EQ(testsupport::ReadFile(run.c.run.gMDNFolder + queued[0]), first);
    ASSERT_EQ(user.captures().size(), 2u);
    EXPECT_EQ(user.captures()[0], first);  // it already ends in the marker: sent unchanged
    EXPECT_EQ(user.lines().at(2), "RCPT TO: <sender@dest.test>");
}

TEST_F(Queue, OnlyTheUsersOwnRegularFilesAreSentAndOtherKindsLeaveWithoutCopy) {
    run.c.cfg.gflgSaveMDNs = true;
    run.c.cfg.gUserSMTPServer = "user.smtp";
    run.c.cfg.gNormalEMailAddr = "me@home.test";
    HappySmtp(server);
    // Out/ is a link to the queue's real folder: followed, and said so.
    const std::string real = run.c.run.gAppPath + "/queue";
    fs::create_directory(real);
    fs::create_directory_symlink(real, run.c.run.gAppPath + "/OutLink");
    run.c.run.gOutFolder = run.c.run.gAppPath + "/OutLink/";
    testsupport::WriteFile(real + "/note.txt", "To:a@b.test\r\n\r\nhello\r\n");
    fs::create_directory(real + "/sub.MDN");
    // A link planted in Out/ would mail a private file to the To: inside it.
    testsupport::WriteFile(run.c.run.gAppPath + "/private", "To:victim@b.test\r\n\r\nsecret\r\n");
    fs::create_symlink(run.c.run.gAppPath + "/private", real + "/planted.MDN");
    run.mailer->SendQueuedFiles();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.captures().at(0), "To:a@b.test\r\n\r\nhello\r\n\r\n\r\n.\r\n");
    EXPECT_EQ(testsupport::NamesIn(real), (std::vector<std::string>{"planted.MDN", "sub.MDN"}));
    EXPECT_TRUE(NamesIn(run.c.run.gMDNFolder).empty());
    EXPECT_EQ(run.Account("SMTP_Type"), "TXT+_OK");
    EXPECT_TRUE(run.Logged("OutLink is a symbolic link to " + real));
    EXPECT_TRUE(run.Logged("planted.MDN is not sent: it is a symbolic link"));
    EXPECT_TRUE(run.Logged("sub.MDN is not sent: it is not a regular file"));
}

// The first row that takes the message ends the search.
TEST_F(Queue, SentReceiptLeavesOutAndIsCopiedOnlyWhenAsked) {
    HappySmtp(server);
    run.c.cfg.gVoxaFaxAddr = "fax1@voxafax.example";
    run.c.cfg.gflgSaveMDNs = false;
    run.St().gSMTPRecipAddr = "sender@dest.test";
    run.mailer->SendReceipt(Receipt());
    EXPECT_TRUE(NamesIn(run.c.run.gOutFolder).empty());
    EXPECT_TRUE(NamesIn(run.c.run.gMDNFolder).empty());
    EXPECT_EQ(run.St().gSMTPSenderAddr, "fax1@voxafax.example");
    EXPECT_EQ(run.mailer->LastAttempts(), "dest.test + fax1@voxafax.example , ");
    EXPECT_EQ(server.lines().at(0), "HELO dest.test");
    EXPECT_EQ(server.lines().at(1), "MAIL FROM: <fax1@voxafax.example>");
    EXPECT_EQ(run.Account("SMTP_Type"), "MDN+Processed_OK");
}

}  // namespace
}  // namespace mailtest
