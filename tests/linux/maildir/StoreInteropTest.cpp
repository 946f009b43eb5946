// Users open the filed faxes with ordinary mail tools, outside programs drop
// mail into the inbox, and a mail server may serve the Maildir: Python's
// mailbox and email packages and a private Dovecot on loopback stand in for
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/linux/maildir/StoreKits.h"
#include "tests/support/FreePort.h"

using namespace platform;
using storekits::kProfile;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Runs a shell command; its standard output and, in rc, its exit status.
std::string Shell(const std::string& cmd, int& rc) {
    std::string out;
    rc = -1;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int st = ::pclose(p);
    rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// Runs a Python script with arguments; its standard output.
std::string Python(const TempDir& tmp, const std::string& script, const std::string& args) {
    WriteFile(tmp / "script.py", script);
    int rc = 0;
    std::string out = Shell(std::string(kPython) + " '" + (tmp / "script.py") + "' " + args, rc);
    EXPECT_EQ(rc, 0) << out;
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Stores a converted fax in the folder: text, one TIFF attachment, one recipient.
MessageId StoreFax(MailStore& store, const FolderId& folder, const std::string& subject,
                   const std::string& text, const std::string& tifFile) {
    NewMessage m;
    m.senderName = "sender@x.example";
    m.subject = subject;
    m.timeSent = 1700000000;
    m.text = text;
    m.attachments = {{"fax.tif;", tifFile, tifFile}};
    m.recipients = {{"SMTP:fax1@voxafax.example", RecipientKind::To}};
    auto id = store.Store(folder, m);
    EXPECT_TRUE(id.ok() && store.Sync(folder).ok());
    return id.value_or("");
}

// Prints what a mail reader finds in a message given as bytes.
constexpr const char* kShowMessage = R"PY(
import email, email.policy
def show(raw):
    em = email.message_from_bytes(raw, policy=email.policy.default)
    print("subject", em["subject"].encode("utf-8").hex())
    print("from", em["from"].addresses[0].addr_spec)
    print("to", em["to"].addresses[0].addr_spec)
    print("text", em.get_body(preferencelist=("plain",)).get_payload(decode=True).hex())
    for part in em.iter_attachments():
        print("attachment", part.get_filename(), part.get_content_type(), part.get_payload(decode=True).hex())
)PY";

class StoreInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
        inbox = storekits::LogOn(kit.store);
    }
    storekits::MaildirKit kit;
    MaildirStore& store = kit.store;
    FolderId inbox;
};

TEST_F(StoreInterop, PythonReadsWhatTheStoreWrites) {
    const std::string subject = "Fax \xc3\xa9t\xc3\xa9 From: sender@x.example";
    const std::string text = " +OK 99 octets\r\nSubject: t\r\n\r\nCaf\xc3\xa9 \x01\r\n";
    const std::string tif = std::string("II*\0\r\n\xff\x80", 8) + std::string(5000, '\0');
    WriteFile(kit.tmp / "fax.tif", tif);
    const MessageId stored = StoreFax(store, inbox, subject, text, kit.tmp / "fax.tif");
    // Filed away, so that a folder is read too.
    ASSERT_TRUE(store.SetUnread(stored, false).ok());
    ASSERT_TRUE(store.Move(stored, *store.Folder({"VOXA-FAXes", "Printed"})).ok());

    std::string out = Python(kit.tmp, std::string(kShowMessage) + R"PY(
import mailbox, sys
box = mailbox.Maildir(sys.argv[1], factory=None, create=False)
print("inbox", len(box))
print("folders", ",".join(sorted(box.list_folders())))
folder = box.get_folder("VOXA-FAXes.Printed")
for key in folder.keys():
    print("flags", folder.get_message(key).get_flags())
    show(folder.get_bytes(key))
)PY",
                             "'" + kit.maildir + "'");
    for (const std::string& line : std::vector<std::string>{
             "inbox 0", "folders VOXA-FAXes,VOXA-FAXes.Printed", "flags S",
             "subject " + Hex(subject), "from sender@x.example", "to fax1@voxafax.example",
             "text " + Hex(text), "attachment fax.tif image/tiff " + Hex(tif)})
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
}

TEST_F(StoreInterop, StoreReadsWhatPythonDelivers) {
    Python(kit.tmp, R"PY(
import mailbox, email.message, email.policy, sys
box = mailbox.Maildir(sys.argv[1], factory=None, create=False)
m = email.message.EmailMessage(policy=email.policy.SMTP)
m["From"] = "Jos\u00e9 Sender <jose@x.example>"
m["To"] = "Fax <fax1@voxafax.example>"
m["Cc"] = "copy@x.example"
m["Subject"] = "R\u00e9sum\u00e9 of fax"
m["Date"] = "Tue, 14 Nov 2023 22:13:20 +0000"
m.set_content("Line one\r\nLine \u00e9 two\r\n", cte="quoted-printable")
m.add_attachment(bytes(range(256)) * 3, maintype="image", subtype="tiff", filename="p\u00e1ge 1.tif")
m.add_attachment(b"plain\r\n", maintype="text", subtype="plain", filename="notes.txt")
box.add(m)
box.add_folder("Deleted Items")
)PY",
           "'" + kit.maildir + "'");
    auto ids = *store.List(inbox);
    ASSERT_EQ(ids.size(), 1u);
    const StoredMessage m = *store.Load(ids[0]);
    EXPECT_EQ(m.subject, "R\xc3\xa9sum\xc3\xa9 of fax");
    EXPECT_EQ(m.senderAddress, "jose@x.example");
    EXPECT_EQ(m.text, "Line one\r\nLine \xc3\xa9 two\r\n");
    EXPECT_EQ(m.timeSent, FormatStoreTime(1700000000));
    ASSERT_EQ(m.recipients.size(), 2u);
    EXPECT_EQ(m.recipients[0].name, "Fax <fax1@voxafax.example>");
    EXPECT_EQ(m.recipients[1].name, "copy@x.example");
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(m.attachments[0].name, "p\xc3\xa1ge 1.tif");
    EXPECT_EQ(m.attachments[0].source, "p\xc3\xa1ge 1.tif");
    ASSERT_TRUE(store.WriteAttachment(ids[0], 0, kit.tmp / "page.tif").ok());
    std::string want;
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 256; ++i) want += static_cast<char>(i);
    EXPECT_EQ(ReadFile(kit.tmp / "page.tif"), want);
    EXPECT_EQ(m.attachments[1].name, "notes.txt");
    EXPECT_NE(m.header.find("\r\nSubject: "), std::string::npos);
    // The folder Python made is the one the store finds by its name.
    EXPECT_EQ(*store.Folder({"Deleted Items"}), kit.maildir + "/.Deleted Items");
}

TEST(StoreDovecot, DovecotServesWhatTheStoreWrote) {
    const std::string peers = std::string(VOXAFAX_SOURCE_DIR) + "/peers";
    if (::geteuid() != 0 || ::access("/usr/sbin/dovecot", X_OK) != 0 ||
        ::access(kPython, X_OK) != 0)
        GTEST_SKIP() << "needs root, dovecot and " << kPython;
    storekits::MaildirKit kit("maildir");
    ::chmod(kit.tmp.path().c_str(), 0755);  // Dovecot reads mail as user "mail"
    const TempDir& w = kit.tmp;
    const std::string tif = std::string("II*\0\r\n\xff", 7) + std::string(2000, '\x01');
    WriteFile(w / "fax.tif", tif);
    StoreFax(kit.store, storekits::LogOn(kit.store), "Dovecot check", " +OK\r\nline\r\n",
             w / "fax.tif");
    const int port = testsupport::FreePort();
    ASSERT_GT(port, 0);
    int rc = 0;
    // Output to a file: the daemon keeps a pipe open after the script ends.
    Shell("POP3_USER=fax1 POP3_PASSWORD=fax1pass '" + peers + "/dovecot-pop3-start.sh' '" +
              (w / "pop3") + "' '" + kit.maildir + "' " + std::to_string(port) + " >'" +
              (w / "start.log") + "' 2>&1",
          rc);
    ASSERT_EQ(rc, 0) << ReadFile(w / "start.log");
    WriteFile(w / "fetch.py", std::string(kShowMessage) + R"PY(
import poplib, sys
p = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
p.user("fax1"); p.pass_("fax1pass")
resp, lines, octets = p.retr(1)
p.quit()
show(b"\r\n".join(lines) + b"\r\n")
)PY");
    std::string out = Shell(
        std::string(kPython) + " '" + (w / "fetch.py") + "' " + std::to_string(port) + " 2>&1", rc);
    int stopRc = 0;
    Shell("'" + peers + "/dovecot-pop3-stop.sh' '" + (w / "pop3") + "' >/dev/null 2>&1", stopRc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("subject " + Hex("Dovecot check") + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("text " + Hex(" +OK\r\nline\r\n") + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("attachment fax.tif image/tiff " + Hex(tif) + "\n"), std::string::npos)
        << out;
}

}  // namespace
