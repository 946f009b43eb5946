// options.ini and the port variables: what is read, and that a value that
// makes no sense is refused with the key and the file rather than turned
// into something else.
#include <gtest/gtest.h>

#include <cstdlib>

#include "config/Options.h"
#include "platform/Environment.h"
#include "tests/support/TempDir.h"

namespace {

config::Options Load(const testsupport::TempDir& dir, const std::string& text) {
    platform::Environment env;
    env.configDir = dir.path();
    testsupport::WriteFile(env.OptionsIni(), text);
    return config::Options::Load(env);
}

}  // namespace

TEST(Options, ReadsFlagsPortsAndCommentsAndRefusesWhatMakesNoSense) {
    testsupport::TempDir dir;
    ::unsetenv("VOXAFAX_POP3_PORT");
    ::unsetenv("VOXAFAX_SMTP_PORT");
    config::Options o =
        Load(dir,
             "[print]\ntext_pages = Yes   ; header pages too\nmax_pages = 1000\n[pop3]\n"
             "tls = on\n[smtp]\ntls = yes\nport = 2525\n");
    EXPECT_TRUE(o.problems.empty());
    EXPECT_TRUE(o.textPages);
    EXPECT_EQ(o.maxPages, 1000);
    EXPECT_EQ(o.popPort, 995);  // implicit TLS has its own port
    EXPECT_EQ(o.smtpPort, 2525);

    const std::string file = dir / "options.ini";
    o = Load(dir, "[pop3]\nport = 65537\ntls = maybe\n[smtp]\nport = -1\n");
    ASSERT_EQ(o.problems.size(), 3u);
    EXPECT_EQ(o.problems[0], "[pop3] tls = maybe in " + file +
                                 " is neither yes, no nor starttls; correct or remove it");
    EXPECT_EQ(o.problems[1], "[pop3] port = 65537 in " + file +
                                 " is not a whole number from 1 to 65535; correct or remove it");
    EXPECT_EQ(o.problems[2].rfind("[smtp] port = -1 in ", 0), 0u);
    // Nothing wraps round: the refused settings keep their defaults.
    EXPECT_EQ(o.popPort, 110);
    EXPECT_EQ(o.smtpPort, 25);

    // The variables win over the file, and are checked the same way.
    ::setenv("VOXAFAX_POP3_PORT", "1100", 1);
    for (const char* bad : {"0", "70000", "25x", "99999999999999999999"}) {
        ::setenv("VOXAFAX_SMTP_PORT", bad, 1);
        o = Load(dir, "");
        EXPECT_EQ(o.popPort, 1100);
        ASSERT_EQ(o.problems.size(), 1u) << bad;
        EXPECT_EQ(o.problems[0].rfind(std::string("VOXAFAX_SMTP_PORT = ") + bad, 0), 0u);
        EXPECT_EQ(o.smtpPort, 25);
    }
    ::unsetenv("VOXAFAX_POP3_PORT");
    ::unsetenv("VOXAFAX_SMTP_PORT");
}

// The POP3 logon and trust keys; a trusted-certificates file that is not
// there stops the run rather than fail every handshake.
TEST(Options, PopLogonAndTrustKeys) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "ca.pem", "x");
    config::Options o = Load(dir,
                             "[pop3]\ntls = STARTTLS\nuser = fax1@example.net\n"
                             "auth = xoauth2\nca_file = " +
                                 dir / "ca.pem" + "\nca_path = " + dir.path() + "\n");
    EXPECT_TRUE(o.problems.empty()) << o.problems[0];
    EXPECT_TRUE(o.popStartTls);
    EXPECT_FALSE(o.popTls);
    EXPECT_EQ(o.popPort, 110);
    EXPECT_EQ(o.popUser, "fax1@example.net");
    EXPECT_EQ(o.popAuth, config::Options::PopAuth::XOAuth2);
    EXPECT_EQ(o.popCaFile, dir / "ca.pem");
    EXPECT_EQ(o.popCaPath, dir.path());

    o = Load(dir, "[pop3]\nauth = login\n[smtp]\nca_file = " + dir / "none.pem" +
                      "\nca_path = " + dir / "ca.pem" + "\n");
    ASSERT_EQ(o.problems.size(), 3u);
    EXPECT_NE(o.problems[0].find("[pop3] auth = login in "), std::string::npos);
    EXPECT_NE(o.problems[0].find("is not user, plain or xoauth2"), std::string::npos);
    EXPECT_NE(o.problems[1].find("is no file this user can read"), std::string::npos);
    EXPECT_NE(o.problems[2].find("is no folder this user can read"), std::string::npos);
    EXPECT_TRUE(o.smtpCaFile.empty());
}

// The relay and what goes with it: a relay that is no host[:port], an
// unknown login mechanism and a login without a relay stop the run.
TEST(Options, SubmissionKeys) {
    testsupport::TempDir dir;
    config::Options o = Load(dir,
                             "[smtp]\nrelay = smtp.provider.test:587\nuser = fax1@provider.test\n"
                             "auth = XOAuth2\nhelo = fax.example.net\nmx = yes\n");
    EXPECT_TRUE(o.problems.empty()) << o.problems[0];
    EXPECT_EQ(o.smtpRelayHost, "smtp.provider.test");
    EXPECT_EQ(o.smtpRelayPort, 587);
    EXPECT_FALSE(o.smtpDirect);
    EXPECT_TRUE(o.smtpStartTls);
    EXPECT_EQ(o.smtpAuth, "XOAUTH2");
    EXPECT_TRUE(o.smtpMx);
    EXPECT_FALSE(o.smtpStandards);

    o = Load(dir, "[smtp]\nrelay = [::1]:2525\n");
    EXPECT_EQ(o.smtpRelayHost, "::1");
    EXPECT_EQ(o.smtpRelayPort, 2525);

    o = Load(dir, "[smtp]\nrelay = smtp.provider.test:0\nauth = cram-md5\n");
    ASSERT_EQ(o.problems.size(), 2u);
    EXPECT_NE(o.problems[0].find("[smtp] relay = smtp.provider.test:0 in "), std::string::npos);
    EXPECT_NE(o.problems[1].find("is not plain, login or xoauth2"), std::string::npos);

    o = Load(dir, "[smtp]\nuser = fax1@provider.test\n");
    ASSERT_EQ(o.problems.size(), 1u);
    EXPECT_NE(o.problems[0].find("add relay = host[:port]"), std::string::npos);
}
