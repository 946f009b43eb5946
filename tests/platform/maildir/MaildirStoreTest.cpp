// The Maildir store: what the conversion writes must read back exactly, what
// outside programs drop into a Maildir must be readable, moves must leave a
// message in exactly one folder, and bad files must not hurt.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/Dialogs.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/linux/maildir/MaildirStore.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr const char* kProfile = "Windows Messaging Settings";

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
}

class MaildirStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        maildir = tmp / "Mail box";
        WriteIni("[" + std::string(kProfile) + "]\nmaildir = " + maildir +
                 "   ; where faxes land\n");
    }
    void WriteIni(const std::string& text) { WriteFile(tmp / "stores.ini", text); }

    std::unique_ptr<MailSession> Logon(const std::string& profile = kProfile) {
        auto s = provider.CreateSession();
        EXPECT_TRUE(s.ok());
        Status st = (*s)->Logon(profile, false);
        EXPECT_TRUE(st.ok()) << st.detail;
        return std::move(*s);
    }

    std::shared_ptr<MailFolder> Sub(MailSession& s, const std::string& name) {
        auto root = *(*s.InfoStore(1))->RootFolder();
        int n = *root->FolderCount();
        for (int i = 1; i <= n; ++i) {
            auto f = *root->Folder(i);
            if (*f->Name() == name) return f;
        }
        return *root->AddFolder(name);
    }

    // A message dropped into new/ by an outside program.
    std::string Drop(const std::string& bytes,
                     const std::string& name = "1700000000.M1P1.outside") {
        WriteFile(maildir + "/new/" + name, bytes);
        return name;
    }

    std::shared_ptr<MailMessage> OnlyInboxMessage(MailSession& s) {
        auto inbox = *s.Inbox();
        EXPECT_EQ(*inbox->MessageCount(), 1);
        return *inbox->Message(1);
    }

    TempDir tmp;
    std::string maildir;
    FakeDialogs dialogs;
    MaildirStoreProvider provider{tmp / "stores.ini", dialogs};
};

TEST_F(MaildirStoreTest, LogonFindsProfileWithoutCaseAndCreatesPrivateMaildir) {
    auto s = provider.CreateSession();
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE((*s)->Logon("VOXA-FAX", false).ok());
    EXPECT_FALSE((*s)->Inbox().ok());
    EXPECT_FALSE(fs::exists(maildir));
    ASSERT_TRUE((*s)->Logon("windows MESSAGING settings", false).ok());
    EXPECT_EQ(*(*s)->Name(), kProfile);
    for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
        struct stat sb {};
        ASSERT_EQ(::stat((maildir + sub).c_str(), &sb), 0) << sub;
        EXPECT_EQ(sb.st_mode & 0777, 0700u) << sub;
    }
    ASSERT_TRUE((*s)->Logoff().ok());
    EXPECT_FALSE((*s)->Name().ok());
}

TEST_F(MaildirStoreTest, InteractiveLogonOffersConfiguredProfiles) {
    auto s = std::move(*provider.CreateSession());
    EXPECT_FALSE(s->Logon("VOXA-FAX", true).ok());  // nobody to ask
    dialogs.choice = kProfile;
    EXPECT_FALSE(s->Logon("VOXA-FAX", false).ok());
    ASSERT_TRUE(s->Logon("VOXA-FAX", true).ok());
    EXPECT_EQ(*s->Name(), kProfile);
}

TEST_F(MaildirStoreTest, ProfileWithoutMaildirOrFileFails) {
    WriteIni("[Other]\ndeliver = true\n");
    auto s = std::move(*provider.CreateSession());
    EXPECT_FALSE(s->Logon("Other", false).ok());
    fs::remove(tmp / "stores.ini");
    EXPECT_FALSE(s->Logon(kProfile, false).ok());
}

TEST_F(MaildirStoreTest, ConvertedMessageReadsBackByteForByte) {
    auto s = Logon();
    auto inbox = *s->Inbox();
    const std::string text =
        " +OK 1234 octets\r\nFrom: a@b.example\r\nSubject: x\r\n\r\n\r\nline\r\n.\r\n";
    std::string tif("II*\0\r\n\x80\xff\n\r", 11);
    tif += std::string(300000, '\0') + "end\r\n";
    const std::string dataFile = tmp / "fax.tif";
    WriteFile(dataFile, tif);

    auto msg = *inbox->AddMessage();
    ASSERT_TRUE(msg->SetSenderName("a@b.example").ok());
    ASSERT_TRUE(msg->SetSubject("VOXA-FAX  From: a@b.example").ok());
    ASSERT_TRUE(msg->SetTimeReceived(1700000000).ok());
    ASSERT_TRUE(msg->SetTimeSent(kZeroDateUnix).ok());
    ASSERT_TRUE(msg->SetText(text).ok());
    EXPECT_EQ(*msg->Text(), text);
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetType(1).ok());
    ASSERT_TRUE(att->SetPosition(0).ok());
    ASSERT_TRUE(att->SetName("fax.tif;").ok());
    ASSERT_TRUE(att->SetSource(dataFile).ok());
    ASSERT_TRUE(att->ReadFromFile(dataFile).ok());
    // The conversion may reuse the data file's name for the next part.
    WriteFile(dataFile, "second part");
    auto att2 = *msg->AddAttachment();
    ASSERT_TRUE(att2->SetName("r\xe9sum\xe9 =?x?= ;; two  blanks;").ok());
    ASSERT_TRUE(att2->SetSource(dataFile).ok());
    ASSERT_TRUE(att2->ReadFromFile(dataFile).ok());
    auto att3 = *msg->AddAttachment();  // never given content
    ASSERT_TRUE(att3->SetName("missing.tif;").ok());
    auto rcp = *msg->AddRecipient();
    ASSERT_TRUE(rcp->SetAddress("SMTP:fax1@voxafax.example").ok());
    ASSERT_TRUE(rcp->SetType(1).ok());
    EXPECT_EQ(*inbox->MessageCount(), 0);
    ASSERT_TRUE(msg->Update().ok());

    EXPECT_TRUE(FilesIn(maildir + "/tmp").empty());
    auto names = FilesIn(maildir + "/new");
    ASSERT_EQ(names.size(), 1u);
    struct stat sb {};
    ASSERT_EQ(::stat((maildir + "/new/" + names[0]).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);

    auto back = OnlyInboxMessage(*s);
    EXPECT_EQ(*back->Text(), text);
    EXPECT_EQ(*back->Subject(), "VOXA-FAX  From: a@b.example");
    EXPECT_EQ(*back->SenderAddress(), "a@b.example");
    EXPECT_EQ(*back->Type(), "IPM.Note");
    EXPECT_EQ(*back->TimeSent(), "12/30/1899 12:00:00 AM");
    EXPECT_EQ(*back->TimeReceived(), FormatStoreTime(1700000000));
    ASSERT_EQ(*back->RecipientCount(), 1);
    EXPECT_NE((*(*back->Recipient(1))->Name()).find("fax1@voxafax.example"), std::string::npos);
    ASSERT_EQ(*back->AttachmentCount(), 3);
    auto a1 = *back->Attachment(1);
    EXPECT_EQ(*a1->Name(), "fax.tif;");
    EXPECT_EQ(*a1->Source(), dataFile);
    ASSERT_TRUE(a1->WriteToFile(tmp / "0001.TIF").ok());
    EXPECT_EQ(ReadFile(tmp / "0001.TIF"), tif);
    auto a2 = *back->Attachment(2);
    EXPECT_EQ(*a2->Name(), "r\xe9sum\xe9 =?x?= ;; two  blanks;");
    ASSERT_TRUE(a2->WriteToFile(tmp / "0002.bin").ok());
    EXPECT_EQ(ReadFile(tmp / "0002.bin"), "second part");
    auto a3 = *back->Attachment(3);
    ASSERT_TRUE(a3->WriteToFile(tmp / "0003.bin").ok());
    EXPECT_EQ(ReadFile(tmp / "0003.bin"), "");
    EXPECT_FALSE(back->Attachment(4).ok());

    std::string header = *back->Field(25);
    EXPECT_NE(header.find("\r\nSubject: VOXA-FAX  From: a@b.example\r\n"), std::string::npos)
        << header;
    EXPECT_EQ(header.find("\n\n"), std::string::npos);
    EXPECT_FALSE(back->Field(1).ok());
}

TEST_F(MaildirStoreTest, MessageWithoutTextHasEmptyTextAndKeepsTextAttachment) {
    auto s = Logon();
    auto inbox = *s->Inbox();
    WriteFile(tmp / "note.txt", "plain words\r\n");
    auto msg = *inbox->AddMessage();
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetName("note.txt;").ok());
    ASSERT_TRUE(att->ReadFromFile(tmp / "note.txt").ok());
    ASSERT_TRUE(msg->Update().ok());
    auto back = OnlyInboxMessage(*s);
    EXPECT_EQ(*back->Text(), "");
    EXPECT_EQ(*back->TimeSent(), "");
    ASSERT_EQ(*back->AttachmentCount(), 1);
    EXPECT_EQ(*(*back->Attachment(1))->Name(), "note.txt;");
}

TEST_F(MaildirStoreTest, FoldersNestAsMaildirPlusPlusAndKeepOddNames) {
    auto s = Logon();
    auto faxes = Sub(*s, "VOXA-FAXes");
    auto printed = *faxes->AddFolder("Printed");
    auto odd = *faxes->AddFolder("a.b/c%d");
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes/cur"));
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes.Printed/new"));
    EXPECT_TRUE(fs::exists(maildir + "/.VOXA-FAXes.Printed/maildirfolder"));
    EXPECT_EQ(*odd->Name(), "a.b/c%d");

    // A new session sees the same tree.
    auto s2 = Logon();
    auto root = *(*s2->InfoStore(1))->RootFolder();
    ASSERT_EQ(*root->FolderCount(), 1);
    auto f = *root->Folder(1);
    EXPECT_EQ(*f->Name(), "VOXA-FAXes");
    EXPECT_EQ(*f->ID(), *faxes->ID());
    ASSERT_EQ(*f->FolderCount(), 2);
    std::set<std::string> names{*(*f->Folder(1))->Name(), *(*f->Folder(2))->Name()};
    EXPECT_EQ(names, (std::set<std::string>{"Printed", "a.b/c%d"}));
    EXPECT_FALSE(root->AddFolder("").ok());
    EXPECT_FALSE((*s2->Inbox())->AddFolder("x").ok());
    EXPECT_EQ(*root->MessageCount(), 0);
    (void)printed;
}

TEST_F(MaildirStoreTest, MoveRenamesIntoTargetCurAndChangesId) {
    Drop("Subject: one\n\nbody\n");
    auto s = Logon();
    auto printed = *Sub(*s, "VOXA-FAXes")->AddFolder("Printed");
    auto msg = OnlyInboxMessage(*s);
    std::string id = *msg->ID();
    ASSERT_TRUE(msg->SetUnread(false).ok());
    EXPECT_EQ(*msg->ID(), id);
    EXPECT_EQ(FilesIn(maildir + "/cur").size(), 1u);
    EXPECT_NE(FilesIn(maildir + "/cur")[0].find(":2,S"), std::string::npos);

    auto again = *s->GetMessage(id);
    Status moved = again->MoveTo(*printed->ID());
    ASSERT_TRUE(moved.ok()) << moved.detail;
    EXPECT_NE(*again->ID(), id);
    EXPECT_FALSE(s->GetMessage(id).ok());
    auto there = *s->GetMessage(*again->ID());
    EXPECT_EQ(*there->Subject(), "one");
    EXPECT_EQ(*(*s->Inbox())->MessageCount(), 0);
    auto files = FilesIn(maildir + "/.VOXA-FAXes.Printed/cur");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], "1700000000.M1P1.outside:2,S");
    EXPECT_FALSE(there->MoveTo("top:" + maildir).ok());
    EXPECT_FALSE(there->MoveTo("/etc").ok());
}

TEST_F(MaildirStoreTest, MoveIntoUnwritableFolderFailsAndMessageStays) {
    Drop("Subject: stays\n\nbody\n");
    auto s = Logon();
    auto broken = Sub(*s, "Broken");
    std::string id = *OnlyInboxMessage(*s)->ID();
    // cur/ that is not a folder defeats even a privileged user.
    fs::remove_all(maildir + "/.Broken/cur");
    WriteFile(maildir + "/.Broken/cur", "");
    EXPECT_FALSE((*s->GetMessage(id))->MoveTo(*broken->ID()).ok());
    EXPECT_EQ(FilesIn(maildir + "/new").size(), 1u);

    // A cur/ on another file system: the rename itself fails.
    struct stat here {
    }, shm{};
    if (::stat("/dev/shm", &shm) == 0 && ::stat(tmp.path().c_str(), &here) == 0 &&
        shm.st_dev != here.st_dev) {
        auto far = Sub(*s, "Far");
        TempDir other;
        ::rmdir(other.path().c_str());
        std::string farCur = "/dev/shm/" + fs::path(other.path()).filename().string();
        fs::create_directory(farCur);
        fs::remove_all(maildir + "/.Far/cur");
        fs::create_directory_symlink(farCur, maildir + "/.Far/cur");
        Status st = (*s->GetMessage(id))->MoveTo(*far->ID());
        EXPECT_FALSE(st.ok());
        EXPECT_EQ(st.kind, Fail::Io) << st.detail;
        EXPECT_TRUE(fs::is_empty(farCur));
        fs::remove_all(farCur);
    }
    EXPECT_EQ(FilesIn(maildir + "/new").size(), 1u);

    auto locked = Sub(*s, "Locked");
    if (::geteuid() != 0) {
        fs::permissions(maildir + "/.Locked/cur", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE((*s->GetMessage(id))->MoveTo(*locked->ID()).ok());
        fs::permissions(maildir + "/.Locked/cur", fs::perms::owner_all);
    }
    EXPECT_EQ(*(*s->GetMessage(id))->Subject(), "stays");
}

TEST_F(MaildirStoreTest, ListingKeepsPositionsAndMessagesTakenAwayFail) {
    Drop("Subject: a\n\n", "1700000001.M1P1.h");
    Drop("Subject: b\n\n", "1700000002.M1P1.h");
    Drop("Subject: c\n\n", "1700000003.M1P1.h");
    auto s = Logon();
    auto inbox = *s->Inbox();
    ASSERT_EQ(*inbox->MessageCount(), 3);
    EXPECT_EQ(*(*inbox->Message(1))->Subject(), "a");
    // Another reader marks b seen; another program takes c away.
    fs::rename(maildir + "/new/1700000002.M1P1.h", maildir + "/cur/1700000002.M1P1.h:2,S");
    fs::remove(maildir + "/new/1700000003.M1P1.h");
    EXPECT_EQ(*(*inbox->Message(2))->Subject(), "b");
    EXPECT_FALSE(inbox->Message(3).ok());
    EXPECT_FALSE(inbox->Message(4).ok());
}

TEST_F(MaildirStoreTest, OutsideMessageExposesHeadersPartsAndNames) {
    const std::string raw =
        "Return-Path: <j@x.example>\r\n"
        "From: \"John Q\" <j@x.example>\r\n"
        "To: Fax Line <fax1@voxafax.example>, other@y.example\r\n"
        "Cc: team: c1@y.example, c2@y.example;\r\n"
        "Subject: =?iso-8859-1?q?Caf=E9?= report\r\n"
        "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"
        "X-Message-Class: IPM.Note.Fax\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
        "\r\n"
        "--outer\r\n"
        "Content-Type: multipart/alternative; boundary=\"inner\"\r\n"
        "\r\n"
        "--inner\r\n"
        "Content-Type: text/plain; charset=iso-8859-1\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "Caf=E9 soft=\r\n"
        "break\r\n"
        "--inner\r\n"
        "Content-Type: text/html\r\n"
        "\r\n"
        "<p>Caf&eacute;</p>\r\n"
        "--inner--\r\n"
        "--outer\r\n"
        "Content-Type: image/tiff\r\n"
        "Content-Disposition: attachment; filename*=utf-8''fa%C3%A7ade.tif\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "SUkqAAgAAAA=\r\n"
        "--outer\r\n"
        "Content-Type: application/octet-stream; name=\"scan.pcx\"\r\n"
        "\r\n"
        "raw\r\n"
        "--outer--\r\n";
    Drop(raw);
    auto s = Logon();
    auto m = OnlyInboxMessage(*s);
    EXPECT_EQ(*m->Type(), "IPM.Note.Fax");
    EXPECT_EQ(*m->Subject(), "Caf\xc3\xa9 report");
    EXPECT_EQ(*m->SenderAddress(), "j@x.example");
    EXPECT_EQ(*m->Text(), "Caf\xe9 softbreak");
    EXPECT_EQ(*m->TimeSent(), FormatStoreTime(1700000000));
    EXPECT_EQ(*m->TimeReceived(), FormatStoreTime(1700000000));
    ASSERT_EQ(*m->RecipientCount(), 4);
    EXPECT_EQ(*(*m->Recipient(1))->Name(), "Fax Line <fax1@voxafax.example>");
    EXPECT_EQ(*(*m->Recipient(2))->Name(), "other@y.example");
    EXPECT_EQ(*(*m->Recipient(4))->Name(), "c2@y.example");
    ASSERT_EQ(*m->AttachmentCount(), 3);
    EXPECT_EQ(*(*m->Attachment(1))->Name(), "");  // the html alternative
    EXPECT_EQ(*(*m->Attachment(2))->Name(),
              "fa\xc3\xa7"
              "ade.tif");
    EXPECT_EQ(*(*m->Attachment(2))->Source(),
              "fa\xc3\xa7"
              "ade.tif");
    ASSERT_TRUE((*m->Attachment(2))->WriteToFile(tmp / "a.tif").ok());
    EXPECT_EQ(ReadFile(tmp / "a.tif"), std::string("II*\0\x08\0\0\0", 8));
    EXPECT_EQ(*(*m->Attachment(3))->Source(), "scan.pcx");
    ASSERT_TRUE((*m->Attachment(3))->WriteToFile(tmp / "s.pcx").ok());
    EXPECT_EQ(ReadFile(tmp / "s.pcx"), "raw");
    std::string header = *m->Field(25);
    EXPECT_EQ(header.rfind("Return-Path: <j@x.example>\r\n", 0), 0u);
    EXPECT_NE(header.find("\r\nFrom: \"John Q\" <j@x.example>\r\n"), std::string::npos);
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
}

TEST_F(MaildirStoreTest, LfOnlyMessageAndUnknownCharsetsReadWithoutHarm) {
    Drop(
        "From: x@y\nSubject: =?x-unknown-charset?b?SGVsbG8=?= =?utf-8?q?bad=FF?=\n"
        "Content-Type: text/plain; charset=x-bogus\n\nhello\nworld\n");
    auto s = Logon();
    auto m = OnlyInboxMessage(*s);
    EXPECT_FALSE((*m->Subject()).empty());
    EXPECT_EQ(*m->Text(), "hello\nworld\n");
    EXPECT_EQ(*m->Field(25),
              "From: x@y\r\nSubject: =?x-unknown-charset?b?SGVsbG8=?= =?utf-8?q?bad=FF?=\r\n"
              "Content-Type: text/plain; charset=x-bogus\r\n");
}

TEST_F(MaildirStoreTest, BadFilesAreReadWithoutCrashInBoundedMemory) {
    Drop("", "1700000001.M1P1.empty");
    std::string binary;
    for (int i = 0; i < 70000; ++i) binary += static_cast<char>((i * 7919) & 0xff);
    Drop(binary, "1700000002.M1P1.binary");
    {
        // A 50 MB header line, written in pieces so the test itself stays small.
        std::ofstream out(maildir + "/new/1700000003.M1P1.huge", std::ios::binary);
        out << "Subject: big\r\nX-Long: ";
        std::string chunk(1 << 20, 'a');
        for (int i = 0; i < 50; ++i) out << chunk;
        out << "\r\nTo: fax1@voxafax.example\r\n\r\nbody text\r\n";
    }
    auto s = Logon();
    auto inbox = *s->Inbox();
    ASSERT_EQ(*inbox->MessageCount(), 3);
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    for (int i = 1; i <= 3; ++i) {
        auto m = *inbox->Message(i);
        (void)m->Type();
        (void)m->Subject();
        (void)m->Text();
        (void)m->SenderAddress();
        (void)m->TimeSent();
        (void)m->Field(25);
        int n = m->RecipientCount().value_or(0);
        for (int r = 1; r <= n; ++r) (void)(*m->Recipient(r))->Name();
        int a = m->AttachmentCount().value_or(0);
        for (int k = 1; k <= a; ++k) (void)(*m->Attachment(k))->WriteToFile(tmp / "out.bin");
    }
    auto huge = *inbox->Message(3);
    EXPECT_EQ(*huge->Subject(), "big");
    EXPECT_EQ(*huge->Text(), "body text\r\n");
    EXPECT_LE((*huge->Field(25)).size(), 256u * 1024);
    EXPECT_EQ(*(*inbox->Message(1))->Text(), "");
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 20 * 1024) << "KiB grown";
}

TEST_F(MaildirStoreTest, HugeAttachmentStreamsThroughInBoundedMemory) {
    const std::string big = tmp / "big.bin";
    {
        std::ofstream out(big, std::ios::binary);
        std::string chunk(1 << 20, '\0');
        for (int i = 0; i < 50; ++i) {
            for (std::size_t k = 0; k < chunk.size(); k += 4096)
                chunk[k] = static_cast<char>(i + k);
            out << chunk;
        }
    }
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    auto s = Logon();
    auto msg = *(*s->Inbox())->AddMessage();
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetName("big.tif;").ok());
    ASSERT_TRUE(att->ReadFromFile(big).ok());
    ASSERT_TRUE(msg->Update().ok());
    ASSERT_TRUE((*OnlyInboxMessage(*s)->Attachment(1))->WriteToFile(tmp / "out.bin").ok());
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 20 * 1024) << "KiB grown";
    EXPECT_EQ(fs::file_size(tmp / "out.bin"), fs::file_size(big));
    EXPECT_TRUE(ReadFile(tmp / "out.bin") == ReadFile(big));
}

TEST_F(MaildirStoreTest, DeliverNowRunsTheProfileCommandWithMaildirSet) {
    WriteIni("[" + std::string(kProfile) + "]\nmaildir = " + maildir +
             "\ndeliver = printf 'Subject: fetched\\n\\nhi\\n' > "
             "\"$MAILDIR/new/1700000000.M1P1.fetch\"  ; test\n"
             "[Failing]\nmaildir = " +
             maildir + "\ndeliver = exit 3\n[Quiet]\nmaildir = " + maildir + "\n");
    auto s = Logon();
    ASSERT_TRUE(s->DeliverNow().ok());
    auto m = OnlyInboxMessage(*s);
    EXPECT_EQ(*m->Subject(), "fetched");
    EXPECT_FALSE(Logon("Failing")->DeliverNow().ok());
    EXPECT_TRUE(Logon("Quiet")->DeliverNow().ok());
}

}  // namespace
