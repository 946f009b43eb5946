// The POP client against a real Dovecot on loopback, started through the
// peers scripts; skipped where Dovecot cannot run (no binary, not root).
// What a whole run does with such a server (a wrong password, POP3S with a
// trusted certificate) is checked by tests/scripts/pop_dovecot.sh; here only
// what the run cannot show: the bytes of a long and a dot-stuffed message as
// a real server sends them, and the refusal of an untrusted certificate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "tests/pop/PopFixture.h"
#include "tests/support/FreePort.h"

namespace {

using poptest::RealPopRun;
using testsupport::FreePort;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Dovecot runs in its own processes: the session waits on the real clock,
// with ticks short enough that a failure does not hold the suite for minutes.
constexpr platform::Millis kTick{3000};

class Dovecot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || !std::filesystem::exists("/usr/sbin/dovecot"))
            GTEST_SKIP() << "needs root and dovecot-pop3d";
        char tmpl[] = "/tmp/vfpop.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        work_ = tmpl;
        std::filesystem::permissions(work_, std::filesystem::perms(0755));
        port_ = FreePort();
        sport_ = FreePort();
        const std::string cmd = "POP3_USER=fax1 POP3_PASSWORD=secret '" + Peers() +
                                "/dovecot-pop3-start.sh' '" + work_ + "/st' '" + work_ +
                                "/maildir' " + std::to_string(port_) + " " +
                                std::to_string(sport_) + " >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        started_ = true;
    }
    void TearDown() override {
        if (started_)
            (void)std::system(
                ("'" + Peers() + "/dovecot-pop3-stop.sh' '" + work_ + "/st'").c_str());
        if (!work_.empty()) std::filesystem::remove_all(work_);
    }
    static std::string Peers() { return std::string(VOXAFAX_SOURCE_DIR) + "/peers"; }

    void Deliver(const std::vector<std::string>& messages) {
        std::string files;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const std::string f = work_ + "/m" + std::to_string(i);
            WriteFile(f, messages[i]);
            files += " '" + f + "'";
        }
        ASSERT_EQ(
            std::system(
                ("'" + Peers() + "/dovecot-pop3-add.sh' '" + work_ + "/maildir'" + files).c_str()),
            0);
    }
    std::size_t LeftOnServer() const {
        std::size_t n = 0;
        for (const char* sub : {"/maildir/new", "/maildir/cur"})
            for (auto& e : std::filesystem::directory_iterator(work_ + sub))
                n += e.is_regular_file();
        return n;
    }

    std::string work_;
    int port_ = 0, sport_ = 0;
    bool started_ = false;
};

std::vector<std::string> Corpus() {
    std::string big = "From: fax@example.test\r\nSubject: big\r\n\r\n";
    while (big.size() < 300000) big += "AAAABBBBCCCCDDDD0123456789abcdefghijklmnopqrstuvwxyz+/\r\n";
    return {"From: a@example.test\r\nSubject: one\r\n\r\nfirst\r\n.starts with a dot\r\n", big,
            "From: c@example.test\r\nSubject: three\r\n\r\nthird\r\n"};
}

TEST_F(Dovecot, DownloadsTheMailboxAndEmptiesIt) {
    Deliver(Corpus());
    RealPopRun r(port_, kTick);
    r.Session();
    EXPECT_EQ(r.Status(), "Downloading 3 VOXA-FAXes");
    ASSERT_EQ(r.InFiles().size(), 3u);
    // Dot-stuffed lines are kept as the server sent them.
    bool stuffed = false;
    for (const auto& f : r.InFiles()) {
        const std::string text = ReadFile(r.t.InFile(f));
        EXPECT_TRUE(text.starts_with("+OK ") && text.ends_with("\r\n.\r\n")) << f;
        stuffed |= text.find("\r\n..starts with a dot\r\n") != std::string::npos;
    }
    EXPECT_TRUE(stuffed);
    EXPECT_EQ(LeftOnServer(), 0u);

    r.client->CHECKMAIL_Click();  // the emptied mailbox
    EXPECT_EQ(r.Status(), "No new VOXA-FAXes");
}

TEST_F(Dovecot, UntrustedCertificateFailsToConnect) {
    Deliver(Corpus());
    RealPopRun r(sport_, kTick);
    r.t.options.popTls = true;
    r.Session();
    EXPECT_EQ(r.form->gPOP_Error, EPROTO);
    EXPECT_EQ(r.LogWith(": certificate not trusted for 127.0.0.1: self-signed certificate; set "
                        "[pop3] ca_file in " +
                        r.t.env.OptionsIni())
                  .size(),
              1u);
    EXPECT_TRUE(r.InFiles().empty());
    EXPECT_EQ(LeftOnServer(), 3u);
}

}  // namespace
