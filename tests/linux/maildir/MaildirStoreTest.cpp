// The Maildir store on disk: the layout other mail tools read, messages that
// outside programs drop in, and files no mail tool would write.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "platform/Files.h"
#include "tests/linux/maildir/StoreKits.h"

using namespace platform;
using storekits::kProfile;
using testsupport::NamesIn;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

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
    FolderId LogOn(const std::string& profile = kProfile) {
        return storekits::LogOn(kit.store, profile);
    }

    MessageId OnlyInboxMessage() {
        auto ids = *kit.store.List(kit.maildir);
        EXPECT_EQ(ids.size(), 1u);
        return ids.empty() ? MessageId() : ids[0];
    }
    StoredMessage Load(const MessageId& id) { return kit.store.Load(id).value_or(StoredMessage{}); }

    storekits::MaildirKit kit;
    MaildirStore& store = kit.store;
    const std::string& maildir = kit.maildir;
    TempDir& tmp = kit.tmp;
};

TEST_F(MaildirStoreTest, LogonMakesAPrivateMaildirAndDeliverNowRunsTheProfilesCommand) {
    EXPECT_FALSE(fs::exists(maildir));
    ASSERT_TRUE(store.LogOn(kProfile, false).ok());
    for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
        struct stat sb {};
        ASSERT_EQ(::stat((maildir + sub).c_str(), &sb), 0) << sub;
        EXPECT_EQ(sb.st_mode & 0777, 0700u) << sub;
    }
    EXPECT_TRUE(store.DeliverNow().ok());  // no deliver command: nothing to do
    kit.profiles = "[Other]\ndeliver = true\n[Failing]\nmaildir = " + maildir +
                   "\ndeliver = exit 3\n[Blocked]\nmaildir = /dev/null/x\n";
    kit.WriteIni("");
    // A failed logon says which file and section to change.
    auto other = store.LogOn("other", false);
    ASSERT_FALSE(other.ok());
    EXPECT_EQ(other.status().detail,
              "section [Other] of " + (tmp / "stores.ini") + " has no maildir");
    auto blocked = store.LogOn("Blocked", false);
    ASSERT_FALSE(blocked.ok());
    EXPECT_NE(blocked.status().detail.find("check maildir in section [Blocked] of " +
                                           (tmp / "stores.ini")),
              std::string::npos)
        << blocked.status().detail;
    LogOn("Failing");
    EXPECT_FALSE(store.DeliverNow().ok());
    fs::remove(tmp / "stores.ini");
    auto none = store.LogOn(kProfile, false);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.status().kind, Fail::NotFound);
    EXPECT_EQ(none.status().detail.rfind(
                  "names no profile in " + (tmp / "stores.ini") + " (profiles: none; ", 0),
              0u)
        << none.status().detail;
}

TEST_F(MaildirStoreTest, NewMessageIsAPrivateFileWithTheHeaderItWasGiven) {
    const FolderId inbox = LogOn();
    std::set<std::string> messageIds, boundaries;
    for (bool unread : {true, false}) {
        NewMessage m;
        m.subject = "VOXA-FAX  From: a@b.example";
        m.unread = unread;
        NewAttachment empty;
        empty.name = "empty.tif;";
        empty.source = "empty.tif";
        m.attachments.push_back(empty);
        auto id = store.Store(inbox, m);
        ASSERT_TRUE(id.ok());
        std::string header = Load(*id).header;
        EXPECT_NE(header.find("Subject: VOXA-FAX  From: a@b.example\r\n"), std::string::npos)
            << header;
        EXPECT_EQ(header.find("\n\n"), std::string::npos);
        EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
        // Each message has an id of its own, in the form mail tools expect.
        std::smatch idLine;
        ASSERT_TRUE(std::regex_search(
            header, idLine,
            std::regex("\r\nMessage-Id: <([-A-Za-z0-9.]+@[-A-Za-z0-9.]+)>\r\n", std::regex::icase)))
            << header;
        messageIds.insert(idLine[1]);
        // Its parts sit between delimiters of its own, too.
        std::smatch boundary;
        ASSERT_TRUE(std::regex_search(header, boundary, std::regex("boundary=\"(=-[^\"]+)\"")))
            << header;
        boundaries.insert(boundary[1]);
        ASSERT_EQ(Load(*id).attachments.size(), 1u);
    }
    EXPECT_EQ(messageIds.size(), 2u);
    EXPECT_EQ(boundaries.size(), 2u);
    // Stored, not yet synced: out of sight of every reader of the folder.
    EXPECT_EQ(NamesIn(maildir + "/tmp").size(), 2u);
    EXPECT_TRUE(NamesIn(maildir + "/new").empty() && NamesIn(maildir + "/cur").empty());
    ASSERT_TRUE(store.Sync(inbox).ok());
    EXPECT_TRUE(NamesIn(maildir + "/tmp").empty());
    auto names = NamesIn(maildir + "/new");
    ASSERT_EQ(names.size(), 1u);
    struct stat sb {};
    ASSERT_EQ(::stat((maildir + "/new/" + names[0]).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    names = NamesIn(maildir + "/cur");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ":2,S");
}

// A sealed batch is stored on its own, in the background: the messages
// stored after the seal wait in tmp/ for the folder's next sync.
TEST_F(MaildirStoreTest, ASealedBatchIsStoredWithoutTheMessagesAfterIt) {
    const FolderId inbox = LogOn();
    EXPECT_EQ(store.SyncSealed(inbox, false).value_or(false), true);  // nothing sealed
    NewMessage m;
    m.text = std::string(200000, 'x');  // long enough to be on its way a while
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(store.Store(inbox, m).ok());
    ASSERT_TRUE(store.Seal(inbox).ok());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(store.Store(inbox, m).ok());
    Result<bool> done = store.SyncSealed(inbox, false);
    ASSERT_TRUE(done.ok());
    if (!*done) {
        EXPECT_TRUE(NamesIn(maildir + "/new").empty());  // not yet: nothing moved
    }
    done = store.SyncSealed(inbox, true);
    ASSERT_TRUE(done.ok() && *done);
    EXPECT_EQ(NamesIn(maildir + "/new").size(), 3u);
    EXPECT_EQ(NamesIn(maildir + "/tmp").size(), 2u);
    EXPECT_EQ(store.SyncSealed(inbox, false).value_or(false), true);  // sealed ones are gone
    ASSERT_TRUE(store.Sync(inbox).ok());
    EXPECT_EQ(NamesIn(maildir + "/new").size(), 5u);
    EXPECT_TRUE(NamesIn(maildir + "/tmp").empty());
    // Sealed and dropped (the store logs off unsynced): nothing is stored.
    ASSERT_TRUE(store.Store(inbox, m).ok());
    ASSERT_TRUE(store.Seal(inbox).ok());
    store.LogOff();
    EXPECT_EQ(NamesIn(maildir + "/new").size(), 5u);
    EXPECT_TRUE(NamesIn(maildir + "/tmp").empty());
}

TEST_F(MaildirStoreTest, FoldersNestAsMaildirPlusPlusWithOddNamesEscaped) {
    LogOn();
    ASSERT_TRUE(store.Folder({"VOXA-FAXes", "Printed"}).ok());
    ASSERT_TRUE(store.Folder({"VOXA-FAXes", "a.b/c%d"}).ok());
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes/cur"));
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes.Printed/new"));
    EXPECT_TRUE(fs::exists(maildir + "/.VOXA-FAXes.Printed/maildirfolder"));
    EXPECT_TRUE(fs::is_directory(maildir + "/.VOXA-FAXes.a%2Eb%2Fc%25d/tmp"));
    EXPECT_FALSE(store.Folder({}).ok());
    EXPECT_FALSE(store.Folder({std::string(201, 'x')}).ok());
    EXPECT_FALSE(store.List("top:" + maildir).ok());
    EXPECT_FALSE(store.List(maildir + "/../" + fs::path(maildir).filename().string()).ok());
}

TEST_F(MaildirStoreTest, MessagesAreRenamedIntoCurWithTheirFlags) {
    kit.Drop("Subject: one\n\nbody\n");
    LogOn();
    const FolderId printed = *store.Folder({"Printed"});
    const MessageId id = OnlyInboxMessage();
    ASSERT_TRUE(store.SetUnread(id, false).ok());
    ASSERT_TRUE(store.Mark(id, MessageMark::Printed).ok());
    EXPECT_EQ(NamesIn(maildir + "/cur"), std::vector<std::string>{"1700000000.M1P1.outside:2,PS"});
    ASSERT_TRUE(store.Move(id, printed).ok());
    EXPECT_EQ(NamesIn(maildir + "/.Printed/cur"),
              std::vector<std::string>{"1700000000.M1P1.outside:2,PS"});
    EXPECT_FALSE(store.Move(id, maildir).ok());  // gone from where the ID says
    EXPECT_FALSE(store.Move(printed + "/1700000000.M1P1.outside", "/etc").ok());
    // Another reader marks a message seen between the listing and the read.
    kit.Drop("Subject: two\n\n", "1700000002.M1P1.h");
    const MessageId two = OnlyInboxMessage();
    fs::rename(maildir + "/new/1700000002.M1P1.h", maildir + "/cur/1700000002.M1P1.h:2,S");
    EXPECT_EQ(Load(two).subject, "two");
    EXPECT_FALSE(Load(two).unread);
}

TEST_F(MaildirStoreTest, MoveIntoUnwritableFolderFailsAndMessageStays) {
    kit.Drop("Subject: stays\n\nbody\n");
    LogOn();
    const FolderId broken = *store.Folder({"Broken"});
    const MessageId id = OnlyInboxMessage();
    // cur/ that is not a folder defeats even a privileged user.
    fs::remove_all(maildir + "/.Broken/cur");
    WriteFile(maildir + "/.Broken/cur", "");
    EXPECT_FALSE(store.Move(id, broken).ok());
    EXPECT_EQ(NamesIn(maildir + "/new").size(), 1u);

    // A cur/ on another file system: the rename itself fails.
    struct stat here {
    }, shm{};
    if (::stat("/dev/shm", &shm) == 0 && ::stat(tmp.path().c_str(), &here) == 0 &&
        shm.st_dev != here.st_dev) {
        const FolderId far = *store.Folder({"Far"});
        TempDir other;
        ::rmdir(other.path().c_str());
        std::string farCur = "/dev/shm/" + fs::path(other.path()).filename().string();
        fs::create_directory(farCur);
        fs::remove_all(maildir + "/.Far/cur");
        fs::create_directory_symlink(farCur, maildir + "/.Far/cur");
        Status st = store.Move(id, far).status();
        EXPECT_FALSE(st.ok());
        EXPECT_EQ(st.kind, Fail::Io) << st.detail;
        EXPECT_TRUE(fs::is_empty(farCur));
        fs::remove_all(farCur);
    }
    EXPECT_EQ(NamesIn(maildir + "/new").size(), 1u);

    EXPECT_EQ(Load(id).subject, "stays");
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
    LogOn();
    const MessageId id = OnlyInboxMessage();
    const StoredMessage m = Load(id);
    EXPECT_EQ(m.type, "IPM.Note.Fax");
    EXPECT_EQ(m.subject, "Caf\xc3\xa9 report");
    EXPECT_EQ(m.senderAddress, "j@x.example");
    EXPECT_EQ(m.text, "Caf\xe9 softbreak");
    EXPECT_EQ(m.timeSent, FormatStoreTime(1700000000));
    EXPECT_EQ(m.timeReceived, FormatStoreTime(1700000000));
    ASSERT_EQ(m.recipients.size(), 4u);
    EXPECT_EQ(m.recipients[0].name, "Fax Line <fax1@voxafax.example>");
    EXPECT_EQ(m.recipients[1].name, "other@y.example");
    EXPECT_EQ(m.recipients[3].name, "c2@y.example");
    EXPECT_EQ(m.recipients[3].kind, RecipientKind::Cc);
    ASSERT_EQ(m.attachments.size(), 5u);
    EXPECT_EQ(m.attachments[0].name, "");  // the html alternative
    EXPECT_EQ(m.attachments[1].name,
              "fa\xc3\xa7"
              "ade.tif");
    EXPECT_EQ(m.attachments[1].source,
              "fa\xc3\xa7"
              "ade.tif");
    ASSERT_TRUE(store.WriteAttachment(id, 1, tmp / "a.tif").ok());
    EXPECT_EQ(ReadFile(tmp / "a.tif"), std::string("II*\0\x08\0\0\0", 8));
    EXPECT_EQ(m.attachments[2].source, "scan.pcx");
    ASSERT_TRUE(store.WriteAttachment(id, 2, tmp / "s.pcx").ok());
    EXPECT_EQ(ReadFile(tmp / "s.pcx"), "raw");
    ASSERT_TRUE(store.WriteAttachment(id, 3, tmp / "q.txt").ok());
    EXPECT_EQ(ReadFile(tmp / "q.txt"), "line=1 softbreak");
    ASSERT_TRUE(store.WriteAttachment(id, 4, tmp / "u.bin").ok());
    EXPECT_EQ(ReadFile(tmp / "u.bin"), "abc");
    const std::string& header = m.header;
    EXPECT_EQ(header.rfind("Return-Path: <j@x.example>\r\n", 0), 0u);
    EXPECT_NE(header.find("\r\nFrom: \"John Q\" <j@x.example>\r\n"), std::string::npos);
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
}

TEST_F(MaildirStoreTest, LfOnlyMessageAndUnknownCharsetsReadWithoutHarm) {
    kit.Drop(
        "From: x@y\nSubject: =?x-unknown-charset?b?SGVsbG8=?= =?utf-8?q?bad=FF?=\n"
        "Content-Type: text/plain; charset=x-bogus\n\nhello\nworld\n");
    LogOn();
    const StoredMessage m = Load(OnlyInboxMessage());
    EXPECT_FALSE(m.subject.empty());
    EXPECT_EQ(m.text, "hello\nworld\n");
    EXPECT_EQ(m.header,
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
    const auto ids = *store.List(LogOn());
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_LT(PeakGrowthKiB([&] {
                  for (const MessageId& id : ids) {
                      const StoredMessage m = Load(id);
                      for (std::size_t k = 0; k < m.attachments.size(); ++k)
                          (void)store.WriteAttachment(id, k, tmp / "out.bin");
                  }
              }),
              20 * 1024);
    const StoredMessage huge = Load(ids[2]);
    EXPECT_EQ(huge.subject, "big");
    EXPECT_EQ(huge.text, "body text\r\n");
    EXPECT_LE(huge.header.size(), 256u * 1024);
    EXPECT_EQ(Load(ids[0]).text, "");
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
    EXPECT_LT(PeakGrowthKiB([&] {
                  NewMessage m;
                  m.attachments = {{"big.tif;", "", big}};
                  auto id = store.Store(LogOn(), m);
                  ASSERT_TRUE(id.ok());
                  ASSERT_TRUE(store.WriteAttachment(*id, 0, tmp / "out.bin").ok());
              }),
              20 * 1024);
    EXPECT_EQ(fs::file_size(tmp / "out.bin"), fs::file_size(big));
    EXPECT_TRUE(ReadFile(tmp / "out.bin") == ReadFile(big));
}

}  // namespace
