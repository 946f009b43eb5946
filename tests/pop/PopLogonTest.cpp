// The logon beyond USER and PASS: STLS on the plain port, a logon name of
// its own, SASL PLAIN and XOAUTH2 with a token from a command, and what a
// person is told when the server wants TLS first.
#include <gtest/gtest.h>

#include "platform/Text.h"
#include "tests/pop/PopFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCert.h"

using namespace std::chrono_literals;
using poptest::Fetch;
using poptest::Message;
using poptest::PopRun;
using poptest::Retr;
using testsupport::ScriptedServer;

namespace {

bool Sent(const ScriptedServer& s, const std::string& prefix) {
    for (const auto& line : s.lines())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

// Past the logon: an empty mailbox.
ScriptedServer& Empty(ScriptedServer& s) {
    return s.Send("+OK Logged in.\r\n")
        .Expect("^STAT$")
        .Send("+OK 0 0\r\n")
        .Expect("^QUIT$")
        .Send("+OK\r\n");
}

// The logon's USER and PASS and an empty mailbox.
ScriptedServer& UserPassEmpty(ScriptedServer& s) {
    return Empty(s.Expect("^USER fax1$").Send("+OK\r\n").Expect("^PASS secret$"));
}

// STLS, then the logon and the download over TLS. A line put behind the
// server's "+OK" in clear (the injection a man in the middle would try) is
// dropped by the upgrade: read as the reply to USER it would end the logon.
TEST(PopLogon, StlsSecuresTheSessionAndDropsWhatCameInClear) {
    testsupport::TempDir dir;
    const testsupport::TestCert cert = testsupport::MakeTestCert(dir.path());
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    r.t.options.popPort = s.port();
    r.t.options.popStartTls = true;
    r.t.options.popCaFile = cert.certFile;
    const std::string m = Message("over tls");
    s.Send("+OK Ready.\r\n")
        .Expect("^STLS$")
        .Send("+OK Begin TLS negotiation now.\r\n-ERR injected\r\n")
        .StartTls(cert.certFile, cert.keyFile)
        .Expect("^USER fax1$")
        .Send("+OK\r\n")
        .Expect("^PASS secret$")
        .Send("+OK Logged in.\r\n")
        .Expect("^STAT$")
        .Send("+OK 1 " + std::to_string(m.size()) + "\r\n")
        .Expect("^LIST$")
        .Send("+OK\r\n1 " + std::to_string(m.size()) + "\r\n.\r\n")
        .Expect("^UIDL$")
        .Send("-ERR\r\n");
    Fetch(s, 1, m).Expect("^QUIT$").Send("+OK\r\n");
    r.Session();
    EXPECT_TRUE(s.failures().empty()) << s.failures()[0];
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.form->gPOP_Error, 0);
    EXPECT_EQ(r.InTexts(), (std::vector<std::string>{Retr(m)}));
    EXPECT_EQ(r.LogWith(": TLS started").size(), 1u);

    // A certificate nobody vouches for ends the session before the logon,
    // and the line names the option that would trust its authority.
    r.t.options.popCaFile.clear();
    ScriptedServer untrusted(r.t.loop);
    untrusted.Send("+OK Ready.\r\n")
        .Expect("^STLS$")
        .Send("+OK Begin TLS.\r\n")
        .StartTls(cert.certFile, cert.keyFile)
        .Expect("^USER");
    r.NextRun(untrusted);
    EXPECT_FALSE(Sent(untrusted, "USER"));
    EXPECT_EQ(r.t.run.failure, config::RunFailure::ServerUnreachable);
    EXPECT_EQ(r.LogWith("TLS after STLS failed: certificate not trusted for 127.0.0.1: "
                        "self-signed certificate; set [pop3] ca_file in")
                  .size(),
              1u);
}

// A server that offers no STLS does not get the password in clear, unless
// the user allowed it.
TEST(PopLogon, NoStlsNoLogonUnlessClearTextIsAllowed) {
    PopRun r(0);
    r.t.options.popStartTls = true;
    ScriptedServer s(r.t.loop);
    s.Send("+OK Ready.\r\n").Expect("^STLS$").Send("-ERR Unknown command.\r\n").Expect("^QUIT$");
    r.NextRun(s);
    r.Pump();  // lets the server read the QUIT
    EXPECT_TRUE(s.finished());
    EXPECT_FALSE(Sent(s, "USER") || Sent(s, "PASS"));
    EXPECT_EQ(r.form->gPOP_Error, -1);
    EXPECT_EQ(r.t.run.failure, config::RunFailure::Config);
    EXPECT_EQ(r.LogWith("the server does not offer STLS (\"-ERR Unknown command.\"), and the "
                        "password must not go in clear; set [pop3] tls = yes (POP3S) or "
                        "allow_clear = yes in")
                  .size(),
              1u);

    PopRun allowed(0);
    allowed.t.options.popStartTls = true;
    allowed.t.options.popAllowClear = true;
    ScriptedServer c(allowed.t.loop);
    UserPassEmpty(c.Send("+OK Ready.\r\n").Expect("^STLS$").Send("-ERR Unknown command.\r\n"));
    allowed.NextRun(c);
    EXPECT_TRUE(c.finished());
    EXPECT_EQ(allowed.form->gPOP_Error, 0);
    EXPECT_EQ(allowed.LogWith("going on without TLS, as [pop3] allow_clear = yes").size(), 1u);
}

// A server that takes a logon only over TLS says so; the line advises STLS,
// not the user name. A logon name of its own replaces the address's user part.
TEST(PopLogon, AServerThatWantsTlsFirstIsAnsweredWithStlsAdvice) {
    PopRun r(0);
    r.t.options.popUser = "fax1@example.net";
    ScriptedServer s(r.t.loop);
    s.Send("+OK Ready.\r\n")
        .Expect("^USER fax1@example.net$")
        .Send(
            "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) "
            "connections.\r\n")
        .Expect("^QUIT$");
    r.NextRun(s);
    r.Pump();
    EXPECT_TRUE(s.finished());
    EXPECT_EQ(r.t.run.failure, config::RunFailure::LogonRefused);
    EXPECT_EQ(r.t.run.gLastError,
              "Retrieval Error :  [AUTH] Plaintext authentication disallowed on non-secure "
              "(SSL/TLS) connections.");
    ASSERT_EQ(r.LogWith("logon refused for user fax1@example.net").size(), 1u);
    EXPECT_NE(r.LogWith("logon refused")[0].find(
                  "; the server takes a logon only over TLS: set [pop3] tls = starttls"),
              std::string::npos);
}

// SASL: PLAIN with the password, XOAUTH2 with a token that a command prints
// (a helper that refreshes it). A refused token is told by a challenge,
// answered with an empty line, then the refusal; the token is never logged.
TEST(PopLogon, SaslPlainAndXOAuth2WithATokenFromACommand) {
    PopRun r(0);
    r.t.options.popAuth = config::Options::PopAuth::Plain;
    ScriptedServer plain(r.t.loop);
    Empty(plain.Send("+OK Ready.\r\n")
              .Expect("^AUTH PLAIN " + platform::Base64(std::string("\0fax1\0secret", 12)) + "$"));
    r.NextRun(plain);
    EXPECT_TRUE(plain.finished()) << plain.failures()[0];

    PopRun x(0);
    x.t.options.popAuth = config::Options::PopAuth::XOAuth2;
    x.t.options.popUser = "fax1@example.net";
    x.t.options.popSecret.command = "echo tok-7f3a9c";
    const std::string token = platform::Base64(
        "user=fax1@example.net\x01"
        "auth=Bearer tok-7f3a9c\x01\x01");
    ScriptedServer ok(x.t.loop);
    Empty(ok.Send("+OK Ready.\r\n").Expect("^AUTH XOAUTH2 " + token + "$"));
    x.NextRun(ok);
    EXPECT_TRUE(ok.finished()) << ok.failures()[0];
    EXPECT_EQ(x.form->gPOP_Error, 0);

    ScriptedServer refused(x.t.loop);
    refused.Send("+OK Ready.\r\n")
        .Expect("^AUTH XOAUTH2 " + token + "$")
        .Send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n")
        .Expect("^$")
        .Send("-ERR [AUTH] Invalid token\r\n")
        .Expect("^QUIT$");
    x.NextRun(refused);
    x.Pump();
    EXPECT_TRUE(refused.finished());
    EXPECT_EQ(x.t.run.failure, config::RunFailure::LogonRefused);
    EXPECT_EQ(x.LogWith("logon refused for user fax1@example.net: \"-ERR [AUTH] Invalid token\"; "
                        "check [pop3] password_command in")
                  .size(),
              1u);
    for (const std::string& line : x.t.logLines)
        EXPECT_EQ(line.find("tok-7f3a9c"), std::string::npos) << line;
}

}  // namespace

namespace {

// The probe for setup and check: the logon as a session makes it, STAT, and
// QUIT; nothing is fetched or deleted.
TEST(PopLogon, AProbeLogsOnAndQuitsWithoutTouchingTheMailbox) {
    PopRun r(0);
    ScriptedServer s(r.t.loop);
    poptest::LogOn(s, "+OK 2 80\r\n").Expect("^QUIT$").Send("+OK\r\n");
    r.t.options.popPort = s.port();
    r.Make();
    EXPECT_TRUE(r.client->Probe());
    EXPECT_TRUE(s.finished());
    EXPECT_TRUE(r.InFiles().empty());

    ScriptedServer refused(r.t.loop);
    refused.Send("+OK\r\n").Expect("^USER").Send("-ERR no such user\r\n");
    r.t.options.popPort = refused.port();
    EXPECT_FALSE(r.client->Probe());
    EXPECT_EQ(r.LogWith("logon refused for user fax1: \"-ERR no such user\"").size(), 1u);
}

}  // namespace
