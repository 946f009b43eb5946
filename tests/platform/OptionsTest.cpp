// options.ini and the port variables: what is read, and that a value that
// makes no sense is refused with the key and the file rather than turned
// into something else.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Environment.h"
#include "tests/support/TempDir.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct OptionsFile {
    TempDir dir;
    platform::Environment env;
    explicit OptionsFile(const std::string& text) {
        env.configDir = dir.path();
        WriteFile(env.OptionsIni(), text);
        ::unsetenv("VOXAFAX_POP3_PORT");
        ::unsetenv("VOXAFAX_SMTP_PORT");
    }
    ~OptionsFile() {
        ::unsetenv("VOXAFAX_POP3_PORT");
        ::unsetenv("VOXAFAX_SMTP_PORT");
    }
    platform::Options Load() const { return platform::Options::Load(env); }
};

}  // namespace

TEST(Options, ReadsFlagsPortsAndCommentsAndTlsChangesTheDefaultPorts) {
    OptionsFile f(
        "[print]\ntext_pages = Yes   ; header pages too\n[pop3]\ntls = on\n"
        "[smtp]\ntls = yes\nport = 2525\n");
    platform::Options o = f.Load();
    EXPECT_TRUE(o.problems.empty());
    EXPECT_TRUE(o.textPages);
    EXPECT_TRUE(o.popTls);
    EXPECT_EQ(o.popPort, 995);
    EXPECT_EQ(o.smtpPort, 2525);

    ::setenv("VOXAFAX_POP3_PORT", "1100", 1);
    EXPECT_EQ(f.Load().popPort, 1100);

    OptionsFile none("");
    platform::Options d = none.Load();
    EXPECT_TRUE(d.problems.empty());
    EXPECT_FALSE(d.textPages);
    EXPECT_EQ(d.popPort, 110);
    EXPECT_EQ(d.smtpPort, 25);
}

TEST(Options, RefusesValuesThatMakeNoSenseNamingKeyAndFile) {
    OptionsFile f("[pop3]\nport = 65537\ntls = maybe\n[smtp]\nport = -1\n[print]\ntext_pages=\n");
    platform::Options o = f.Load();
    ASSERT_EQ(o.problems.size(), 4u);
    EXPECT_EQ(o.problems[0].rfind("[print] text_pages (empty) in ", 0), 0u);
    EXPECT_EQ(o.problems[1], "[pop3] tls = maybe in " + f.env.OptionsIni() +
                                 " is neither yes nor no; correct or remove it");
    EXPECT_EQ(o.problems[2], "[pop3] port = 65537 in " + f.env.OptionsIni() +
                                 " is not a whole number from 1 to 65535; correct or remove it");
    EXPECT_EQ(o.problems[3].rfind("[smtp] port = -1 in ", 0), 0u);
    // Nothing wraps round: the refused settings keep their defaults.
    EXPECT_EQ(o.popPort, 110);
    EXPECT_EQ(o.smtpPort, 25);

    for (const char* bad : {"0", "70000", "25x", "-1", "99999999999999999999"}) {
        OptionsFile g("");
        ::setenv("VOXAFAX_SMTP_PORT", bad, 1);
        platform::Options v = g.Load();
        ASSERT_EQ(v.problems.size(), 1u) << bad;
        EXPECT_EQ(v.problems[0].rfind(std::string("VOXAFAX_SMTP_PORT = ") + bad, 0), 0u);
        EXPECT_EQ(v.smtpPort, 25);
    }
}
