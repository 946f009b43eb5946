// Against a real SMTP server on loopback (the aiosmtpd sink in peers/): what
// it stores is what was composed, receipts parse as the MIME types they
// claim, and implicit TLS verifies the server's certificate and name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/NodeConfig.h"
#include "mailout/SMTPprocedures.h"
#include "net/SocketWrench.h"
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
    const testsupport::TempDir& dir() const { return dir_; }
    // The messages stored so far, oldest first.
    std::vector<std::string> Messages() const {
        return testsupport::FilesIn(dir_.path() + "/out/new", ".eml");
    }

  private:
    testsupport::TempDir dir_;
    int port_ = 0;
    bool started_ = false;
};

#define START_SINK(sink, extra)                                                 \
    do {                                                                        \
        std::string why;                                                        \
        if (!(sink).Start(extra, why)) GTEST_SKIP() << "no SMTP sink: " << why; \
    } while (0)

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
    START_SINK(sink, "");
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

TEST_F(RealSink, FaxToReceiptKeepsItsTopTypeAndTheTestMessageArrives) {
    Sink sink;
    START_SINK(sink, "");
    run.c.options.smtpPort = sink.port();
    mailout::ReceiptInputs in;
    in.gSubject = "s";
    in.gFaxToAddr = "+15551234";
    in.gDispositionType = "Processed";
    run.St().gSMTPRecipAddr = "sender@localhost";
    run.mailer->SendReceipt(in);
    ASSERT_EQ(sink.Messages().size(), 1u);
    const std::string receipt = sink.Messages()[0];
    const std::string type = Shell(
        "/usr/bin/python3 -c 'import email,sys; m=email.message_from_bytes(open(sys.argv[1],"
        "\"rb\").read()); print(m[\"Content-Type\"].split()[0], m.is_multipart())' " +
        receipt);
    // The top type is message/fax; the body keeps its parts.
    EXPECT_EQ(type, "message/fax True\n");

    run.mailer->SendTestVoxaFax();
    auto msgs = sink.Messages();
    ASSERT_EQ(msgs.size(), 2u);
    const std::string test = msgs[0] == receipt ? msgs[1] : msgs[0];
    EXPECT_EQ(testsupport::ReadFile(test), AsStored(run.St().gMessageBody));
    std::string buf;
    run.c.profile.GetProfileStringA("VOXA-FAX", "test_server", "<absent>", buf);
    EXPECT_EQ(buf, "localhost");
}

TEST_F(RealSink, RefusedRecipientIsCodeTwoWithTheServersWords) {
    Sink sink;
    START_SINK(sink, "--reject-rcpt nobody@");
    run.c.options.smtpPort = sink.port();
    run.St().gSMTPServer = "127.0.0.1";
    run.St().gSMTPSenderAddr = "fax1@localhost";
    run.St().gSMTPRecipAddr = "nobody@localhost";
    run.St().gMessageBody = "Subject: x\r\n\r\nx\r\n";
    EXPECT_FALSE(mailout::SendEMail(run.F(), run.St(), run.sv));
    EXPECT_EQ(run.F().gSMTP_Error, 2);
    EXPECT_NE(run.St().gSMTPLog.find("SMTP_CONFIRM_QUIT + 221 "), std::string::npos)
        << run.St().gSMTPLog;
    EXPECT_TRUE(sink.Messages().empty());
}

class TlsSink : public RealSink {
  protected:
    // A self-signed certificate for `name`; returns false when openssl fails.
    bool MakeCert(const std::string& name, const std::string& san) {
        const std::string d = certs.path() + "/" + name;
        fs::create_directories(d);
        int st = 0;
        Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout " + d + "/key.pem -out " +
                  d + "/cert.pem -subj /CN=" + name + " -addext subjectAltName=" + san +
                  " >/dev/null 2>&1",
              &st);
        return st == 0;
    }
    void TrustAll() {
        std::string bundle;
        for (const auto& e : fs::directory_iterator(certs.path()))
            bundle += testsupport::ReadFile(e.path().string() + "/cert.pem");
        testsupport::WriteFile(certs.path() + "/bundle.pem", bundle);
        setenv("SSL_CERT_FILE", (certs.path() + "/bundle.pem").c_str(), 1);
    }
    ~TlsSink() override { unsetenv("SSL_CERT_FILE"); }
    testsupport::TempDir certs;
};

TEST_F(TlsSink, OptionsTurnOnTlsAndTheCertificateIsChecked) {
    ASSERT_TRUE(MakeCert("localhost", "DNS:localhost,IP:127.0.0.1"));
    ASSERT_TRUE(MakeCert("other.test", "DNS:other.test"));
    TrustAll();
    Sink good;
    START_SINK(good, "--smtps " + certs.path() + "/localhost/cert.pem " + certs.path() +
                         "/localhost/key.pem");
    Sink wrongName;
    START_SINK(wrongName, "--smtps " + certs.path() + "/other.test/cert.pem " + certs.path() +
                              "/other.test/key.pem");

    // options.ini as a user writes it.
    run.c.env.configDir = certs.path();
    testsupport::WriteFile(certs.path() + "/options.ini", "[smtp]\ntls = yes   ; SMTPS\nport = " +
                                                              std::to_string(good.port()) + "\n");
    run.c.options = config::Options::Load(run.c.env);
    ASSERT_TRUE(run.c.options.smtpTls);

    run.c.cfg.gVoxaFaxAddr = "fax1@localhost";
    run.mailer->SendTestVoxaFax();
    EXPECT_EQ(run.F().gSMTP_Error, 0) << run.St().gSMTPLog;
    ASSERT_EQ(good.Messages().size(), 1u);
    EXPECT_EQ(testsupport::ReadFile(good.Messages()[0]), AsStored(run.St().gMessageBody));
    const std::string json = testsupport::ReadFile(
        good.Messages()[0].substr(0, good.Messages()[0].size() - 4) + ".json");
    EXPECT_NE(json.find("\"tls\": true"), std::string::npos);

    // By address: the certificate names 127.0.0.1 too.
    run.St().gSMTPServer = "127.0.0.1";
    run.St().gSMTPRecipAddr = "fax1@localhost";
    run.St().gMessageBody = "Subject: by address\r\n\r\nx\r\n";
    EXPECT_TRUE(mailout::SendEMail(run.F(), run.St(), run.sv)) << run.St().gSMTPLog;

    // A trusted certificate for another name: the socket's own code and reason.
    run.c.options.smtpPort = wrongName.port();
    run.St().gSMTPServer = "localhost";
    EXPECT_FALSE(mailout::SendEMail(run.F(), run.St(), run.sv));
    EXPECT_EQ(run.F().gSMTP_Error, EPROTO);
    EXPECT_NE(run.F().gSMTPSocketErrorString.find(
                  "certificate not trusted for localhost: hostname mismatch"),
              std::string::npos)
        << run.F().gSMTPSocketErrorString;
    EXPECT_TRUE(wrongName.Messages().empty());

    // Plain text to a TLS port: the greeting never comes in readable form.
    run.c.env.tick = 100ms;
    run.c.options.smtpTls = false;
    run.c.options.smtpPort = good.port();
    run.F().gSMTP_Error = 0;
    net::CreateSocket(run.F(), run.F().SMTPSocket(), "SMTP");
    EXPECT_FALSE(mailout::SendEMail(run.F(), run.St(), run.sv));
    EXPECT_NE(run.F().gSMTP_Error, 0);
}

}  // namespace
}  // namespace mailtest
