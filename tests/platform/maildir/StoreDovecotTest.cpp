// A mail server must be able to serve the Maildir the store writes: a
// private Dovecot on loopback hands the message out over POP3, and Python's
// email package finds the text and the attachment bytes in it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Dialogs.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/linux/maildir/MaildirStore.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using testsupport::FreePort;

std::string Shell(const std::string& cmd, int* rc) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int st = ::pclose(p);
    *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

}  // namespace

TEST(StoreDovecot, DovecotServesWhatTheStoreWrote) {
    const std::string peers = std::string(VOXAFAX_SOURCE_DIR) + "/peers";
    if (::geteuid() != 0 || ::access("/usr/sbin/dovecot", X_OK) != 0 ||
        ::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "needs root, dovecot and /usr/bin/python3";
    TempDir w;
    ::chmod(w.path().c_str(), 0755);  // Dovecot reads mail as user "mail"
    const std::string maildir = w / "maildir";
    WriteFile(w / "stores.ini", "[P]\nmaildir = " + maildir + "\n");
    std::string tif("II*\0\r\n\xff", 7);
    tif += std::string(2000, '\x01');
    WriteFile(w / "fax.tif", tif);
    {
        FakeDialogs dialogs;
        MaildirStoreProvider provider(w / "stores.ini", dialogs);
        auto s = std::move(*provider.CreateSession());
        ASSERT_TRUE(s->Logon("P", false).ok());
        auto m = *(*s->Inbox())->AddMessage();
        ASSERT_TRUE(m->SetSenderName("a@x.example").ok());
        ASSERT_TRUE(m->SetSubject("Dovecot check").ok());
        ASSERT_TRUE(m->SetText(" +OK\r\nline\r\n").ok());
        auto a = *m->AddAttachment();
        ASSERT_TRUE(a->SetName("fax.tif;").ok());
        ASSERT_TRUE(a->ReadFromFile(w / "fax.tif").ok());
        ASSERT_TRUE(m->Update().ok());
    }
    const int port = FreePort();
    ASSERT_GT(port, 0);
    int rc = 0;
    // Output to a file: the daemon keeps a pipe open after the script ends.
    Shell("POP3_USER=fax1 POP3_PASSWORD=fax1pass '" + peers + "/dovecot-pop3-start.sh' '" +
              (w / "pop3") + "' '" + maildir + "' " + std::to_string(port) + " >'" +
              (w / "start.log") + "' 2>&1",
          &rc);
    std::string started = testsupport::ReadFile(w / "start.log");
    ASSERT_EQ(rc, 0) << started;
    WriteFile(w / "fetch.py", R"PY(
import poplib, email, email.policy, sys
p = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
p.user("fax1"); p.pass_("fax1pass")
resp, lines, octets = p.retr(1)
p.quit()
m = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n", policy=email.policy.default)
print("subject", m["subject"])
print("text", m.get_body(preferencelist=("plain",)).get_payload(decode=True).hex())
for part in m.iter_attachments():
    print("attachment", part.get_filename(), part.get_payload(decode=True).hex())
)PY");
    std::string out =
        Shell("/usr/bin/python3 '" + (w / "fetch.py") + "' " + std::to_string(port) + " 2>&1", &rc);
    int stopRc = 0;
    Shell("'" + peers + "/dovecot-pop3-stop.sh' '" + (w / "pop3") + "' >/dev/null 2>&1", &stopRc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("subject Dovecot check\n"), std::string::npos) << out;
    EXPECT_NE(out.find("text 202b4f4b0d0a6c696e650d0a\n"), std::string::npos) << out;
    std::string hex;
    for (unsigned char c : tif) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    EXPECT_NE(out.find("attachment fax.tif " + hex + "\n"), std::string::npos) << out;
}
