// The Maildir store on disk: the layout other mail tools read, messages that
// outside programs drop in, and files no mail tool would write.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/Files.h"
#include "tests/linux/maildir/StoreKits.h"

using namespace platform;
using storekits::kProfile;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
    return ListFolder(dir).value_or({});
}

// How much the process's peak memory grew while fn ran.
long PeakGrowthKiB(const std::function<void()>& fn) {
    struct rusage before {
    }, after{};
    ::getrusage(RUSAGE_SELF, &before);
    fn();
    ::getrusage(RUSAGE_SELF, &after);
    return after.ru_maxrss - before.ru_maxrss;
}

class MaildirStoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<MailSession> Logon(const std::string& profile = kProfile) {
        return storekits::Logon(kit.provider, profile);
    }

    std::shared_ptr<MailFolder> Sub(MailSession& s, const std::string& name) {
        return *(*(*s.InfoStore(1))->RootFolder())->AddFolder(name);
    }

    std::shared_ptr<MailMessage> OnlyInboxMessage(MailSession& s) {
        auto inbox = *s.Inbox();
        EXPECT_EQ(*inbox->MessageCount(), 1);
        return *inbox->Message(1);
    }

    storekits::MaildirKit kit;
    const std::string& maildir = kit.maildir;
    TempDir& tmp = kit.tmp;
};

TEST_F(MaildirStoreTest, LogonMakesAPrivateMaildirAndDeliverNowRunsTheProfilesCommand) {
    auto s = std::move(*kit.provider.CreateSession());
    EXPECT_FALSE(fs::exists(maildir));
    ASSERT_TRUE(s->Logon(kProfile, false).ok());
    for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
        struct stat sb {};
        ASSERT_EQ(::stat((maildir + sub).c_str(), &sb), 0) << sub;
        EXPECT_EQ(sb.st_mode & 0777, 0700u) << sub;
    }
    EXPECT_TRUE(s->DeliverNow().ok());  // no deliver command: nothing to do
    kit.profiles =
        "[Other]\ndeliver = true\n[Failing]\nmaildir = " + maildir + "\ndeliver = exit 3\n";
    kit.WriteIni("");
    EXPECT_FALSE(s->Logon("Other", false).ok());
    EXPECT_FALSE(Logon("Failing")->DeliverNow().ok());
    fs::remove(tmp / "stores.ini");
    EXPECT_FALSE(s->Logon(kProfile, false).ok());
}

TEST_F(MaildirStoreTest, NewMessageIsAPrivateFileWithTheHeaderItWasGiven) {
    auto s = Logon();
    auto inbox = *s->Inbox();
    for (bool unread : {true, false}) {
        auto msg = *inbox->AddMessage();
        ASSERT_TRUE(msg->SetSubject("VOXA-FAX  From: a@b.example").ok());
        ASSERT_TRUE(msg->SetUnread(unread).ok());
        ASSERT_TRUE(msg->Update().ok());
        std::string header = *msg->Field(25);
        EXPECT_NE(header.find("Subject: VOXA-FAX  From: a@b.example\r\n"), std::string::npos)
            << header;
        EXPECT_EQ(header.find("\n\n"), std::string::npos);
        EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
    }
    EXPECT_TRUE(FilesIn(maildir + "/tmp").empty());
    auto names = FilesIn(maildir + "/new");
    ASSERT_EQ(names.size(), 1u);
    struct stat sb {};
    ASSERT_EQ(::stat((maildir + "/new/" + names[0]).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    names = FilesIn(maildir + "/cur");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ":2,S");
}

TEST_F(MaildirStoreTest, FoldersNestAsMaildirPlusPlusWithOddNamesEscaped) {
    auto s = Logon();
    auto faxes = Sub(*s, "VOXA-FAXes");
    ASSERT_TRUE(faxes->AddFolder("Printed").ok());
    ASSERT_TRUE(faxes->AddFolder("a.b/c%d").ok());
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes/cur"));
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes.Printed/new"));
    EXPECT_TRUE(fs::exists(maildir + "/.VOXA-FAXes.Printed/maildirfolder"));
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes.a%2Eb%2Fc%25d/tmp"));
    auto root = *(*s->InfoStore(1))->RootFolder();
    EXPECT_FALSE(root->AddFolder("").ok());
    EXPECT_FALSE(root->AddFolder(std::string(201, 'x')).ok());
    EXPECT_FALSE((*s->Inbox())->AddFolder("x").ok());
    EXPECT_EQ(*root->MessageCount(), 0);
    EXPECT_FALSE(root->AddMessage().ok());
}

TEST_F(MaildirStoreTest, MessagesAreRenamedIntoCurWithTheirFlags) {
    kit.Drop("Subject: one\n\nbody\n");
    auto s = Logon();
    auto printed = Sub(*s, "Printed");
    auto msg = OnlyInboxMessage(*s);
    ASSERT_TRUE(msg->SetUnread(false).ok());
    EXPECT_EQ(FilesIn(maildir + "/cur"), std::vector<std::string>{"1700000000.M1P1.outside:2,S"});
    ASSERT_TRUE(msg->MoveTo(*printed->ID()).ok());
    EXPECT_EQ(FilesIn(maildir + "/.Printed/cur"),
              std::vector<std::string>{"1700000000.M1P1.outside:2,S"});
    EXPECT_FALSE(msg->MoveTo("top:" + maildir).ok());
    EXPECT_FALSE(msg->MoveTo("/etc").ok());
    // Another reader marks a message seen between the count and the read.
    kit.Drop("Subject: two\n\n", "1700000002.M1P1.h");
    auto inbox = *s->Inbox();
    ASSERT_EQ(*inbox->MessageCount(), 1);
    fs::rename(maildir + "/new/1700000002.M1P1.h", maildir + "/cur/1700000002.M1P1.h:2,S");
    EXPECT_EQ(*(*inbox->Message(1))->Subject(), "two");
}

TEST_F(MaildirStoreTest, MoveIntoUnwritableFolderFailsAndMessageStays) {
    kit.Drop("Subject: stays\n\nbody\n");
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

    EXPECT_EQ(*(*s->GetMessage(id))->Subject(), "stays");
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
        "--outer\r\n"
        "Content-Type: text/plain; name=\"q.txt\"\r\n"
        "Content-Disposition: attachment\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "line=3D1 soft=\r\n"
        "break\r\n"
        "--outer\r\n"
        "Content-Type: application/octet-stream; name=\"u.bin\"\r\n"
        "Content-Transfer-Encoding: x-uuencode\r\n"
        "\r\n"
        "begin 644 u.bin\r\n"
        "#86)C\r\n"
        "`\r\n"
        "end\r\n"
        "--outer--\r\n";
    kit.Drop(raw);
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
    ASSERT_EQ(*m->AttachmentCount(), 5);
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
    ASSERT_TRUE((*m->Attachment(4))->WriteToFile(tmp / "q.txt").ok());
    EXPECT_EQ(ReadFile(tmp / "q.txt"), "line=1 softbreak");
    ASSERT_TRUE((*m->Attachment(5))->WriteToFile(tmp / "u.bin").ok());
    EXPECT_EQ(ReadFile(tmp / "u.bin"), "abc");
    std::string header = *m->Field(25);
    EXPECT_EQ(header.rfind("Return-Path: <j@x.example>\r\n", 0), 0u);
    EXPECT_NE(header.find("\r\nFrom: \"John Q\" <j@x.example>\r\n"), std::string::npos);
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
}

TEST_F(MaildirStoreTest, LfOnlyMessageAndUnknownCharsetsReadWithoutHarm) {
    kit.Drop(
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
    kit.Drop("", "1700000001.M1P1.empty");
    std::string binary;
    for (int i = 0; i < 70000; ++i) binary += static_cast<char>((i * 7919) & 0xff);
    kit.Drop(binary, "1700000002.M1P1.binary");
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
    EXPECT_LT(PeakGrowthKiB([&] {
                  for (int i = 1; i <= 3; ++i) {
                      auto m = *inbox->Message(i);
                      (void)m->Type(), (void)m->Subject(), (void)m->Text();
                      (void)m->SenderAddress(), (void)m->TimeSent();
                      (void)m->Field(25);
                      for (int r = 1; r <= m->RecipientCount().value_or(0); ++r)
                          (void)(*m->Recipient(r))->Name();
                      for (int k = 1; k <= m->AttachmentCount().value_or(0); ++k)
                          (void)(*m->Attachment(k))->WriteToFile(tmp / "out.bin");
                  }
              }),
              20 * 1024);
    auto huge = *inbox->Message(3);
    EXPECT_EQ(*huge->Subject(), "big");
    EXPECT_EQ(*huge->Text(), "body text\r\n");
    EXPECT_LE((*huge->Field(25)).size(), 256u * 1024);
    EXPECT_EQ(*(*inbox->Message(1))->Text(), "");
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
    EXPECT_LT(
        PeakGrowthKiB([&] {
            auto s = Logon();
            auto msg = *(*s->Inbox())->AddMessage();
            auto att = *msg->AddAttachment();
            ASSERT_TRUE(att->SetName("big.tif;").ok());
            ASSERT_TRUE(att->ReadFromFile(big).ok());
            ASSERT_TRUE(msg->Update().ok());
            ASSERT_TRUE((*OnlyInboxMessage(*s)->Attachment(1))->WriteToFile(tmp / "out.bin").ok());
        }),
        20 * 1024);
    EXPECT_EQ(fs::file_size(tmp / "out.bin"), fs::file_size(big));
    EXPECT_TRUE(ReadFile(tmp / "out.bin") == ReadFile(big));
}

}  // namespace
