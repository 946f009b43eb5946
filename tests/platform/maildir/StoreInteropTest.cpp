// Users open the filed faxes with ordinary mail tools, and outside programs
// drop mail into the inbox: Python's mailbox and email packages stand in for
// those tools, both ways.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Dialogs.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/linux/maildir/MaildirStore.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Runs a Python script with arguments; its standard output, "" on failure.
std::string RunPython(const TempDir& tmp, const std::string& script, const std::string& args) {
    WriteFile(tmp / "script.py", script);
    std::string cmd = std::string(kPython) + " '" + (tmp / "script.py") + "' " + args;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return {};
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int rc = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << out;
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

class StoreInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
        maildir = tmp / "Maildir";
        WriteFile(tmp / "stores.ini", "[Faxes]\nmaildir = " + maildir + "\n");
        session = std::move(*provider.CreateSession());
        ASSERT_TRUE(session->Logon("Faxes", false).ok());
    }
    TempDir tmp;
    std::string maildir;
    FakeDialogs dialogs;
    MaildirStoreProvider provider{tmp / "stores.ini", dialogs};
    std::unique_ptr<MailSession> session;
};

TEST_F(StoreInterop, PythonReadsWhatTheStoreWrites) {
    const std::string text = " +OK 99 octets\r\nSubject: t\r\n\r\nCaf\xc3\xa9 \x01\r\n";
    const std::string tif = std::string("II*\0\r\n\xff\x80", 8) + std::string(5000, '\0');
    WriteFile(tmp / "fax.tif", tif);
    auto inbox = *session->Inbox();
    auto msg = *inbox->AddMessage();
    ASSERT_TRUE(msg->SetSenderName("sender@x.example").ok());
    ASSERT_TRUE(msg->SetSubject("Fax \xc3\xa9t\xc3\xa9 From: sender@x.example").ok());
    ASSERT_TRUE(msg->SetTimeSent(1700000000).ok());
    ASSERT_TRUE(msg->SetText(text).ok());
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetName("fax.tif;").ok());
    ASSERT_TRUE(att->SetSource(tmp / "fax.tif").ok());
    ASSERT_TRUE(att->ReadFromFile(tmp / "fax.tif").ok());
    auto rcp = *msg->AddRecipient();
    ASSERT_TRUE(rcp->SetAddress("SMTP:fax1@voxafax.example").ok());
    ASSERT_TRUE(msg->Update().ok());
    // And one filed away, so that a folder is read too.
    auto root = *(*session->InfoStore(1))->RootFolder();
    auto printed = *(*root->AddFolder("VOXA-FAXes"))->AddFolder("Printed");
    ASSERT_EQ(*inbox->MessageCount(), 1);
    auto stored = *inbox->Message(1);
    ASSERT_TRUE(stored->SetUnread(false).ok());
    ASSERT_TRUE(stored->MoveTo(*printed->ID()).ok());

    const std::string script = R"PY(
import mailbox, email.policy, sys
box = mailbox.Maildir(sys.argv[1], factory=None, create=False)
print("inbox", len(box))
print("folders", ",".join(sorted(box.list_folders())))
folder = box.get_folder("VOXA-FAXes.Printed")
for key in folder.keys():
    m = folder.get_message(key)
    print("flags", m.get_flags())
    em = email.message_from_bytes(folder.get_bytes(key), policy=email.policy.default)
    print("subject", em["subject"].encode("utf-8").hex())
    print("from", em["from"].addresses[0].addr_spec)
    print("to", em["to"].addresses[0].addr_spec)
    body = em.get_body(preferencelist=("plain",))
    print("text", body.get_payload(decode=True).hex())
    for part in em.iter_attachments():
        print("attachment", part.get_filename(), part.get_content_type(), part.get_payload(decode=True).hex())
)PY";
    std::string out = RunPython(tmp, script, "'" + maildir + "'");
    EXPECT_NE(out.find("inbox 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("folders VOXA-FAXes,VOXA-FAXes.Printed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("flags S\n"), std::string::npos) << out;
    EXPECT_NE(out.find("subject " + Hex("Fax \xc3\xa9t\xc3\xa9 From: sender@x.example") + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("from sender@x.example\n"), std::string::npos) << out;
    EXPECT_NE(out.find("to fax1@voxafax.example\n"), std::string::npos) << out;
    EXPECT_NE(out.find("text " + Hex(text) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("attachment fax.tif image/tiff " + Hex(tif) + "\n"), std::string::npos)
        << out;
}

TEST_F(StoreInterop, StoreReadsWhatPythonDelivers) {
    const std::string script = R"PY(
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
)PY";
    RunPython(tmp, script, "'" + maildir + "'");
    auto inbox = *session->Inbox();
    ASSERT_EQ(*inbox->MessageCount(), 1);
    auto m = *inbox->Message(1);
    EXPECT_EQ(*m->Subject(), "R\xc3\xa9sum\xc3\xa9 of fax");
    EXPECT_EQ(*m->SenderAddress(), "jose@x.example");
    EXPECT_EQ(*m->Text(), "Line one\r\nLine \xc3\xa9 two\r\n");
    EXPECT_EQ(*m->TimeSent(), FormatStoreTime(1700000000));
    ASSERT_EQ(*m->RecipientCount(), 2);
    EXPECT_EQ(*(*m->Recipient(1))->Name(), "Fax <fax1@voxafax.example>");
    EXPECT_EQ(*(*m->Recipient(2))->Name(), "copy@x.example");
    ASSERT_EQ(*m->AttachmentCount(), 2);
    auto a = *m->Attachment(1);
    EXPECT_EQ(*a->Name(), "p\xc3\xa1ge 1.tif");
    EXPECT_EQ(*a->Source(), "p\xc3\xa1ge 1.tif");
    ASSERT_TRUE(a->WriteToFile(tmp / "page.tif").ok());
    std::string want;
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 256; ++i) want += static_cast<char>(i);
    EXPECT_EQ(ReadFile(tmp / "page.tif"), want);
    EXPECT_EQ(*(*m->Attachment(2))->Name(), "notes.txt");
    std::string header = *m->Field(25);
    EXPECT_NE(header.find("\r\nSubject: "), std::string::npos) << header;

    auto root = *(*session->InfoStore(1))->RootFolder();
    ASSERT_EQ(*root->FolderCount(), 1);
    EXPECT_EQ(*(*root->Folder(1))->Name(), "Deleted Items");
}

}  // namespace
