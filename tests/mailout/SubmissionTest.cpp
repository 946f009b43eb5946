// Submission through a relay that wants STARTTLS and a login, against
// scripted servers that speak TLS with a certificate the test makes: what is
// sent in clear and what only after the handshake, the login mechanisms, the
// injection of a reply before the handshake, and which servers are tried.
#include <gtest/gtest.h>

#include "config/Secrets.h"
#include "mailout/SmtpReply.h"
#include "platform/MailExchangers.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCert.h"

using testsupport::ScriptedServer;

namespace mailtest {
namespace {

const std::string kSubscriber = "fax1@voxafax.example";

// `text` as a regular expression that matches it and nothing else.
std::string Literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

class Submission : public ::testing::Test {
  protected:
    Submission()
        : cert(testsupport::MakeTestCert(dir.path())),
          factory(platform::TableResolver({{"dest.test", {"127.0.0.1"}},
                                           {"mx1.dest.test", {"127.0.0.3"}},
                                           {"mx2.dest.test", {"127.0.0.1"}}})),
          run(factory) {
        auto& o = run.c.options;
        o.smtpRelayHost = "127.0.0.1";
        o.smtpRelayPort = server.port();
        o.smtpCaFile = cert.certFile;
        o.smtpUser = "fax1@provider.test";
        run.c.cfg.gPassword = "s3cret";
        run.c.cfg.gVoxaFaxAddr = kSubscriber;
        run.St().gSMTPSenderAddr = kSubscriber;
        run.St().gSMTPRecipAddr = "bob@dest.test";
        run.St().gMessageBody = "To:bob@dest.test\r\n\r\nreceipt\r\n";
    }
    // The greeting, EHLO, STARTTLS and the handshake, EHLO again with `ext`.
    ScriptedServer& UpToTls(const std::string& ext, const std::string& afterGo = "") {
        return UpToTls(server, ext, afterGo);
    }
    ScriptedServer& UpToTls(ScriptedServer& s, const std::string& ext,
                            const std::string& afterGo = "") {
        return s.Send("220 relay.test ESMTP\r\n")
            .Expect("^EHLO ")
            .Send("250-relay.test\r\n250-SIZE 1000000\r\n250 STARTTLS\r\n")
            .Expect("^STARTTLS$")
            .Send("220 2.0.0 go ahead\r\n" + afterGo)
            .StartTls(cert.certFile, cert.keyFile)
            .Expect("^EHLO ")
            .Send("250-relay.test\r\n" + ext);
    }
    ScriptedServer& Envelope(ScriptedServer& s, const std::string& from) {
        return s.Expect("^MAIL FROM:<" + from + ">$")
            .Send("250 2.1.0 ok\r\n")
            .Expect("^RCPT TO:<bob@dest.test>$")
            .Send("250 2.1.5 ok\r\n")
            .Expect("^DATA$")
            .Send("354 go\r\n")
            .Capture("\r\n.\r\n")
            .Send("250 2.0.0 queued\r\n")
            .Expect("^QUIT$")
            .Send("221 bye\r\n")
            .Close();
    }

    testsupport::TempDir dir;
    testsupport::TestCert cert;
    platform::TcpSocketFactory factory;
    MailRun run;
    ScriptedServer server{run.c.loop};
};

TEST_F(Submission, LoginOnlyAfterStartTlsAndTheLoginsAddressWhenTheSubscribersIsRefused) {
    run.c.options.smtpHelo = "fax.office.test";  // the greeting name, before and after TLS
    UpToTls("250 AUTH LOGIN PLAIN\r\n")
        .Expect("^AUTH PLAIN " +
                Literal(mailout::Base64(std::string("\0fax1@provider.test\0s3cret", 26))) + "$")
        .Send("235 2.7.0 accepted\r\n")
        .Expect("^MAIL FROM:<" + kSubscriber + ">$")
        .Send("553 5.7.1 sender not owned by user\r\n");
    Envelope(server, "fax1@provider.test");
    ASSERT_TRUE(run.mailer->SendMessage("MDN+Processed")) << run.St().gSMTPLog;
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);
    ASSERT_GE(server.lines().size(), 3u);
    EXPECT_EQ(server.lines()[0], "EHLO fax.office.test");
    EXPECT_EQ(server.lines()[2], "EHLO fax.office.test");
    ASSERT_EQ(server.captures().size(), 1u);
    EXPECT_EQ(server.captures()[0], run.St().gMessageBody);
    // Only the relay was tried: no row of the direct candidates.
    EXPECT_EQ(run.mailer->LastAttempts(), "127.0.0.1 + " + kSubscriber + " , ");
    EXPECT_EQ(run.Account("SMTP_Type"), "MDN+Processed_OK");
    EXPECT_NE(run.St().gSMTPLog.find("SMTP_CONFIRM_QUIT + 221 bye + Alles OK"), std::string::npos);
}

TEST_F(Submission, LinesSentBeforeTheHandshakeAreNeverTakenForReplies) {
    // An attacker in the path appends a reply to "220 go ahead": read after
    // the handshake, it would pass for the answer to the second EHLO, which
    // then offered no login.
    UpToTls("250 AUTH PLAIN\r\n", "250-relay.test\r\n250 AUTH NONE\r\n")
        .Expect("^AUTH PLAIN ")
        .Send("235 ok\r\n");
    Envelope(server, kSubscriber);
    EXPECT_TRUE(run.mailer->SendMessage("MDN+Processed")) << run.mailer->LastAttempts();
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);
}

// Setup and check: the whole path up to RCPT TO, then RSET; no DATA, and
// nothing recorded in account.ini.
TEST_F(Submission, ProbeGoesUpToTheRecipientAndSendsNothing) {
    UpToTls("250-AUTH PLAIN LOGIN\r\n250 SIZE 1000000\r\n")
        .Expect("^AUTH PLAIN ")
        .Send("235 2.7.0 accepted\r\n")
        .Expect("^MAIL FROM:<" + kSubscriber + ">$")
        .Send("250 2.1.0 ok\r\n")
        .Expect("^RCPT TO:<" + kSubscriber + ">$")
        .Send("250 2.1.5 ok\r\n")
        .Expect("^RSET$")
        .Send("250 2.0.0 ok\r\n")
        .Expect("^QUIT$")
        .Send("221 bye\r\n")
        .Close();
    const mailout::SmtpProbe p = run.mailer->Probe(kSubscriber);
    EXPECT_TRUE(p.ok) << p.why;
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);
    EXPECT_TRUE(p.startedTls && p.loggedIn);
    EXPECT_TRUE(mailout::Offers(p.extensions, "SIZE"));
    EXPECT_EQ(p.server, "relay 127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(run.Account("SMTP_Type"), "<absent>");

    // A refused login is named with what to change.
    ScriptedServer refusing{run.c.loop};
    run.c.options.smtpRelayPort = refusing.port();
    UpToTls(refusing, "250 AUTH PLAIN\r\n")
        .Expect("^AUTH PLAIN ")
        .Send("535 5.7.8 bad credentials\r\n")
        .Expect("^QUIT$")
        .Send("221 bye\r\n")
        .Close();
    const mailout::SmtpProbe refused = run.mailer->Probe(kSubscriber);
    EXPECT_FALSE(refused.ok || refused.loggedIn);
    EXPECT_NE(refused.why.find("refused the login of fax1@provider.test: \"5.7.8 bad "
                               "credentials\"; check [smtp] user"),
              std::string::npos)
        << refused.why;
}

TEST_F(Submission, PasswordNeverGoesInClear) {
    // The server offers a login without TLS, and the user turned STARTTLS
    // off: no AUTH is sent, and the run log says what to change.
    auto clearOnly = [](ScriptedServer& s) {
        s.Send("220 relay.test\r\n")
            .Expect("^EHLO ")
            .Send("250-relay.test\r\n250 AUTH PLAIN LOGIN\r\n")
            .Expect("^QUIT$")
            .Send("221 bye\r\n")
            .Close();
    };
    run.c.options.smtpStartTls = false;
    clearOnly(server);
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Processed"));
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"EHLO 127.0.0.1", "QUIT"}));
    EXPECT_EQ(run.c.run.gLastError, "1");
    EXPECT_NE(run.St().fault.find("the password is never sent in clear; set [smtp] starttls = yes"),
              std::string::npos);

    // With STARTTLS asked for, a server that does not offer it gets nothing.
    run.c.options.smtpStartTls = true;
    ScriptedServer plain(run.c.loop);
    clearOnly(plain);
    run.c.options.smtpRelayPort = plain.port();
    EXPECT_FALSE(run.mailer->SendMessage("MDN+Processed"));
    EXPECT_EQ(plain.lines().size(), 2u);
    EXPECT_EQ(run.St().fault.rfind("does not offer STARTTLS", 0), 0u);
}

TEST_F(Submission, XOAuth2TokenFromTheCommandAndTheServersReasonWhenRefused) {
    platform::SystemClock clock;
    platform::EventLoop commands(clock);
    config::Secrets secrets(commands, "options.ini");
    run.sv.secrets = &secrets;
    run.c.options.smtpSecret.command = "printf 'ya29.tok\\n'";
    run.c.options.smtpAuth = "XOAUTH2";
    run.c.options.smtpTls = true;  // the relay's port speaks TLS from the start
    server.StartTls(cert.certFile, cert.keyFile)
        .Send("220 relay.test\r\n")
        .Expect("^EHLO ")
        .Send("250-relay.test\r\n250 AUTH LOGIN PLAIN XOAUTH2\r\n")
        .Expect("^AUTH XOAUTH2 " +
                Literal(mailout::Base64("user=fax1@provider.test\x01"
                                        "auth=Bearer ya29.tok\x01\x01")) +
                "$")
        .Send("235 2.7.0 accepted\r\n");
    Envelope(server, kSubscriber);
    mailout::Mailer mailer(run.sv, run.F());
    mailer.state() = run.St();
    EXPECT_TRUE(mailer.SendMessage("MDN+Processed")) << mailer.state().gSMTPLog;
    EXPECT_TRUE(server.failures().empty()) << server.failures().at(0);

    // An expired token: the reasons come as a challenge, answered empty.
    ScriptedServer expired(run.c.loop);
    expired.StartTls(cert.certFile, cert.keyFile)
        .Send("220 relay.test\r\n")
        .Expect("^EHLO ")
        .Send("250-relay.test\r\n250 AUTH XOAUTH2\r\n")
        .Expect("^AUTH XOAUTH2 ")
        .Send("334 " + mailout::Base64("{\"status\":\"401\",\"schemes\":\"Bearer\"}") + "\r\n")
        .Expect("^$")
        .Send("535 5.7.8 Username and Password not accepted\r\n")
        .Expect("^QUIT$")
        .Send("221 bye\r\n")
        .Close();
    run.c.options.smtpRelayPort = expired.port();
    EXPECT_FALSE(mailer.SendMessage("MDN+Processed"));
    EXPECT_EQ(mailer.state().fault,
              "refused the token of fax1@provider.test: "
              "\"{\"status\":\"401\",\"schemes\":\"Bearer\"}\"; check [smtp] user and "
              "password_command");
}

class FakeMx final : public platform::MailExchangers {
  public:
    platform::MxAnswer answer;
    platform::MxAnswer Lookup(const std::string&) override { return answer; }
};

TEST_F(Submission, TheRelayTheExchangersAndTheRowsInTheirOrder) {
    auto servers = [](const std::vector<mailout::Candidate>& rows) {
        std::vector<std::string> out;
        for (const auto& c : rows) out.push_back(c.server);
        return out;
    };
    auto& o = run.c.options;
    o.smtpUser.clear();
    auto& cfg = run.c.cfg;
    cfg.gUserSMTPServer = "user.smtp";
    cfg.gSMTPServer2 = "";
    cfg.gVFIPAddress = "";
    cfg.gVFSMTPSrvrName = "vf.smtp";
    cfg.gLastResortSMTPServer = "last.smtp";
    const std::vector<std::string> rows3to9 = {"user.smtp", "",        "user.smtp", "",
                                               "",          "vf.smtp", "last.smtp"};
    EXPECT_EQ(servers(run.mailer->Candidates("dest.test")), std::vector<std::string>{"127.0.0.1"});
    o.smtpDirect = true;
    std::vector<std::string> want = {"127.0.0.1", "dest.test", "mail.dest.test"};
    want.insert(want.end(), rows3to9.begin(), rows3to9.end());
    EXPECT_EQ(servers(run.mailer->Candidates("dest.test")), want);

    // With MX lookups the exchangers stand in for rows 1 and 2, and a
    // domain without any is its own.
    o.smtpRelayHost.clear();
    o.smtpMx = true;
    FakeMx mx;
    run.sv.mx = &mx;
    mailout::Mailer mailer(run.sv, run.F());
    mx.answer.kind = platform::MxAnswer::Kind::Found;
    mx.answer.hosts = {"mx1.dest.test", "mx2.dest.test"};
    want = {"mx1.dest.test", "mx2.dest.test"};
    want.insert(want.end(), rows3to9.begin(), rows3to9.end());
    EXPECT_EQ(servers(mailer.Candidates("dest.test")), want);
    mx.answer.kind = platform::MxAnswer::Kind::None;
    want.erase(want.begin(), want.begin() + 2);
    want.insert(want.begin(), "dest.test");
    EXPECT_EQ(servers(mailer.Candidates("dest.test")), want);

    // Delivered through the exchanger that answers; the one refused first
    // is listed as tried.
    mx.answer.kind = platform::MxAnswer::Kind::Found;
    HappySmtp(server);
    o.smtpPort = server.port();
    mailer.state() = run.St();
    EXPECT_TRUE(mailer.SendMessage("MDN+Processed"));
    EXPECT_EQ(mailer.LastAttempts(),
              "mx1.dest.test + " + kSubscriber + " , mx2.dest.test + " + kSubscriber + " , ");
    EXPECT_EQ(server.lines().at(0), "HELO mx2.dest.test");
}

}  // namespace
}  // namespace mailtest
