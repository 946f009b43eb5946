// Against a real SMTP server on loopback (the aiosmtpd sink in peers/): what
// it stores is what was composed, and a receipt parses as the MIME types it
// claims. (Refusals, TLS and the test message against real servers are
// the scripts' smtp_test_message.sh and smtp_submission.sh.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/NodeConfig.h"
#include "mailout/SMTPprocedures.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace mailtest {
namespace {

std::string SourceDir() {
    const char* env = std::getenv("VOXAFAX_SOURCE_DIR");
    return env ? env : VOXAFAX_SOURCE_DIR;
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = ::pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// What the server stores: the message as composed, without its final "."
// line (the dot-stuffing on the wire is undone by the server).
std::string AsStored(std::string text) {
    const std::string end = ".\r\n";
    if (text.ends_with("\r\n" + end)) text.resize(text.size() - end.size());
    return text;
}

class Sink {
  public:
    // Starts the sink with extra options; false (and a reason) when the peer
    // cannot run on this machine.
    bool Start(const std::string& extra, std::string& why) {
        port_ = ClosedPort();
        int st = 0;
        std::string out =
            Shell("bash " + SourceDir() + "/peers/smtp-sink-start.sh " + dir_.path() + "/state " +
                      dir_.path() + "/out " + std::to_string(port_) + " " + extra + " 2>&1",
                  &st);
        started_ = st == 0;
        if (!started_) why = out;
        return started_;
    }
    ~Sink() {
        if (started_)
            Shell("bash " + SourceDir() + "/peers/smtp-sink-stop.sh " + dir_.path() + "/state");
    }
    int port() const { return port_; }
    // The messages stored so far, oldest first.
    std::vector<std::string> Messages() const {
        return testsupport::FilesIn(dir_.path() + "/out/new", ".eml");
    }

  private:
    testsupport::TempDir dir_;
    int port_ = 0;
    bool started_ = false;
};

class RealSink : public ::testing::Test {
  protected:
    RealSink()
        : factory(platform::TableResolver({{"localhost", {"127.0.0.1"}}})), run(factory, 2s) {
        run.c.cfg.gVoxaFaxAddr = "fax1@localhost";
        run.c.cfg.gVFSMTPSrvrName = "";
        run.c.cfg.gLastResortSMTPServer = "";
    }
    platform::TcpSocketFactory factory;
    RealMailRun run;  // the sink runs in its own process
};

TEST_F(RealSink, ReceiptArrivesAsComposedAndParsesAsADispositionReport) {
    Sink sink;
    if (std::string why; !sink.Start("", why)) GTEST_SKIP() << "no SMTP sink: " << why;
    run.c.options.smtpPort = sink.port();
    mailout::ReceiptInputs in;
    in.gSubject = "Invoice 7";
    in.gOriginalMsgID = "<abc@sender.test>";
    in.gPOPSentDateTime = "Fri, 4 Dec 2026 10:00:00 +0100";
    in.FullMsgHdr = "From: s@sender.test\r\n.Subject: starts with a dot";
    in.gFileReport = "fax.tif - printed";
    in.gDispositionType = "Processed";
    in.gPageCount = "2";
    run.St().gSMTPRecipAddr = "Sender <sender@localhost>";
    run.mailer->SendReceipt(in);
    EXPECT_EQ(run.F().gSMTP_Error, 0) << run.St().gSMTPLog;
    EXPECT_TRUE(fs::is_empty(run.c.run.gOutFolder));
    auto msgs = sink.Messages();
    ASSERT_EQ(msgs.size(), 1u);
    const std::string stored = testsupport::ReadFile(msgs[0]);
    EXPECT_EQ(stored, AsStored(run.St().gMessageBody));
    // Keep a copy for people who want to look at one.
    if (const char* keep = std::getenv("VOXAFAX_KEEP_RECEIPT"))
        testsupport::WriteFile(keep, stored);

    const std::string json = testsupport::ReadFile(msgs[0].substr(0, msgs[0].size() - 4) + ".json");
    EXPECT_NE(json.find("\"mail_from\": \"fax1@localhost\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"rcpt_tos\": [\"sender@localhost\"]"), std::string::npos) << json;

    const std::string types = Shell(
        "/usr/bin/python3 -c 'import email,sys; m=email.message_from_bytes(open(sys.argv[1],"
        "\"rb\").read()); print(m.get_content_type(), m.get_param(\"report-type\"), "
        "[p.get_content_type() for p in m.walk()], m.defects)' " +
        msgs[0]);
    EXPECT_EQ(types,
              "multipart/report disposition-notification ['multipart/report', 'text/plain', "
              "'message/disposition-notification', 'text/plain', 'message/rfc822', "
              "'text/plain'] []\n");
}

}  // namespace
}  // namespace mailtest
