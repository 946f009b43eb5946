// What callers rely on from a mail store, checked on the in-memory fake and
// on the Maildir store alike: tests of the inbox walk and the conversion run
// on the fake, the program on the Maildir store.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/linux/maildir/StoreKits.h"

using namespace platform;
using namespace storekits;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace std::string_literals;

namespace {

template <class Kit>
class MailStoreContract : public ::testing::Test {
  protected:
    MailStore& store() { return kit.Store(); }
    // A stored message, received at `received`.
    MessageId Store(const FolderId& folder, const std::string& subject, std::int64_t received) {
        NewMessage m;
        m.subject = subject;
        m.timeReceived = received;
        auto id = store().Store(folder, m);
        EXPECT_TRUE(id.ok()) << id.status().detail;
        EXPECT_TRUE(store().Sync(folder).ok());
        return id.value_or("");
    }
    std::vector<std::string> Subjects(const FolderId& folder) {
        std::vector<std::string> out;
        for (const auto& id : store().List(folder).value_or({}))
            out.push_back(store().Load(id)->subject);
        return out;
    }

    Kit kit;
    TempDir tmp;
};

struct KitNames {
    template <class Kit>
    static std::string GetName(int) {
        return std::is_same_v<Kit, FakeKit> ? "Fake" : "Maildir";
    }
};
using Kits = ::testing::Types<FakeKit, MaildirKit>;
TYPED_TEST_SUITE(MailStoreContract, Kits, KitNames);

TYPED_TEST(MailStoreContract, LogOnFindsProfilesWithoutCaseAndOffersThemInteractively) {
    MailStore& s = this->store();
    auto refused = s.LogOn("VOXA-FAX", false);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.status().kind, Fail::NotFound);
    EXPECT_NE(refused.status().detail.find("\"" + std::string(kProfile) + "\""), std::string::npos)
        << refused.status().detail;
    EXPECT_FALSE(s.Folder({"VOXA-FAXes"}).ok());
    EXPECT_FALSE(s.LogOn("VOXA-FAX", true).ok());  // nobody picks one
    this->kit.OfferOnInteractiveLogon(kProfile);
    EXPECT_FALSE(s.LogOn("VOXA-FAX", false).ok());
    auto picked = s.LogOn("VOXA-FAX", true);
    ASSERT_TRUE(picked.ok());
    EXPECT_EQ(picked->profile, kProfile);
    auto again = s.LogOn("windows MESSAGING settings", false);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->profile, kProfile);
    EXPECT_EQ(again->inbox, picked->inbox);
    s.LogOff();
    EXPECT_FALSE(s.List(again->inbox).ok());
    EXPECT_FALSE(s.DeliverNow().ok());
}

TYPED_TEST(MailStoreContract, FoldersAreFoundByExactNamesAndKeepTheirIdsAcrossLogons) {
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    std::vector<FolderId> ids;
    for (const char* name : {"Printed", "printed", "a.b/c%d"}) {
        auto id = s.Folder({"VOXA-FAXes", name});
        ASSERT_TRUE(id.ok()) << name;
        ids.push_back(*id);
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[0], ids[2]);
    EXPECT_FALSE(s.Folder({"VOXA-FAXes", ""}).ok());

    EXPECT_EQ(LogOn(s), inbox);
    EXPECT_EQ(*s.Folder({"VOXA-FAXes", "Printed"}), ids[0]);
    EXPECT_EQ(*s.Folder({"VOXA-FAXes", "a.b/c%d"}), ids[2]);
    EXPECT_NE(*s.Folder({"VOXA-FAXes"}), inbox);
}

TYPED_TEST(MailStoreContract, NewMessageReadsBackByteForByte) {
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    const std::string text =
        " +OK 1234 octets\r\nFrom: a@b.example\r\nSubject: x\r\n\r\n\r\nCaf\xe9\0\r\n.\r\n"s;
    const std::string tif = "II*\0\r\n\x80\xff\n\r"s + std::string(300000, '\0') + "end\r\n";
    // One file holds the parts one after another, base64 text among them.
    const std::string parts = this->tmp / "parts";
    WriteFile(parts, "junk" + tif + "second part" + "AAH/SGVsbG8s\nIGZheA0K\n");
    const std::int64_t at2 = 4 + static_cast<std::int64_t>(tif.size());

    NewMessage m;
    m.senderName = "Sender <a@b.example>";
    m.subject = "VOXA-FAX  From: a@b.example";
    m.timeReceived = 1700000000;
    m.timeSent = kZeroDateUnix;
    m.text = text;
    m.note = "1200 parts; the last 200 were left out";
    m.origin = "2345:0123456789abcdef";
    m.attachments = {{"fax.tif;", "/tmp/fax.tif", parts, 4, static_cast<std::int64_t>(tif.size())},
                     {"r\xe9sum\xe9 =?x?= ;; two  blanks;", "", parts, at2, 11},
                     {"b64;", "", parts, at2 + 11, -1, true},
                     {"never given content;", "", ""}};
    m.recipients = {{"SMTP:fax1@voxafax.example", RecipientKind::To},
                    {"SMTP:Fax Line <f@x.example>", RecipientKind::Cc}};
    auto id = s.Store(inbox, m);
    ASSERT_TRUE(id.ok()) << id.status().detail;
    ASSERT_TRUE(s.Sync(inbox).ok());
    ASSERT_EQ(*s.List(inbox), std::vector<MessageId>{*id});

    auto back = s.Load(*id);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->id, *id);
    EXPECT_EQ(back->text, text);
    EXPECT_EQ(back->subject, "VOXA-FAX  From: a@b.example");
    EXPECT_EQ(back->senderAddress, "a@b.example");
    EXPECT_EQ(back->type, "IPM.Note");
    EXPECT_EQ(back->note, "1200 parts; the last 200 were left out");
    EXPECT_EQ(back->origin, "2345:0123456789abcdef");
    EXPECT_EQ(back->timeSent, "12/30/1899 12:00:00 AM");
    EXPECT_EQ(back->timeReceived, FormatStoreTime(1700000000));
    EXPECT_TRUE(back->unread);
    EXPECT_TRUE(back->marks.empty());
    ASSERT_EQ(back->recipients.size(), 2u);
    EXPECT_EQ(back->recipients[0].name, "fax1@voxafax.example");
    EXPECT_EQ(back->recipients[1].name, "Fax Line <f@x.example>");
    EXPECT_EQ(back->recipients[1].kind, RecipientKind::Cc);
    ASSERT_EQ(back->attachments.size(), 4u);
    const std::pair<std::string, std::string> want[] = {
        {"fax.tif;", tif},
        {"r\xe9sum\xe9 =?x?= ;; two  blanks;", "second part"},
        {"b64;", "\0\x01\xffHello, fax\r\n"s},
        {"never given content;", ""}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(back->attachments[i].name, want[i].first);
        ASSERT_TRUE(s.WriteAttachment(*id, i, this->tmp / "out.bin").ok());
        EXPECT_TRUE(ReadFile(this->tmp / "out.bin") == want[i].second) << i;
    }
    EXPECT_EQ(back->attachments[0].source, "/tmp/fax.tif");
    EXPECT_FALSE(s.WriteAttachment(*id, 4, this->tmp / "out.bin").ok());
    if (::access("/dev/full", W_OK) == 0) {  // a full disk is no success
        EXPECT_FALSE(s.WriteAttachment(*id, 0, "/dev/full").ok());
    }
}

TYPED_TEST(MailStoreContract, AMessageIsStoredWholeOrNotAtAll) {
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    WriteFile(this->tmp / "note.txt", "plain words\r\n");
    NewMessage m;
    m.attachments = {{"note.txt;", "", this->tmp / "note.txt"},
                     {"gone.txt;", "", this->tmp / "missing.txt"}};
    EXPECT_FALSE(s.Store(inbox, m).ok());
    m.attachments.pop_back();
    this->kit.BreakDelivery();
    EXPECT_FALSE(s.Store(inbox, m).ok());
    EXPECT_TRUE(s.List(inbox)->empty());
    this->kit.RepairDelivery();
    auto id = s.Store(inbox, m);
    ASSERT_TRUE(id.ok());
    EXPECT_FALSE(s.Move(*id, "no such folder").ok());
    // Without text or dates they read empty; a text file stays an attachment.
    auto back = s.Load(*id);
    EXPECT_EQ(back->text, "");
    EXPECT_EQ(back->subject, "");
    EXPECT_EQ(back->timeSent, "");
    ASSERT_EQ(back->attachments.size(), 1u);
    ASSERT_TRUE(s.WriteAttachment(*id, 0, this->tmp / "out.txt").ok());
    EXPECT_EQ(ReadFile(this->tmp / "out.txt"), "plain words\r\n");
}

TYPED_TEST(MailStoreContract, MoveGivesANewIdAndTheOldOneNoLongerLoads) {
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    const FolderId printed = *s.Folder({"VOXA-FAXes", "Printed"});
    const MessageId one = this->Store(inbox, "one", 1700000001);
    const MessageId two = this->Store(inbox, "two", 1700000002);
    const auto snapshot = *s.List(inbox);
    ASSERT_EQ(snapshot, (std::vector<MessageId>{one, two}));

    auto moved = s.Move(one, printed);
    ASSERT_TRUE(moved.ok());
    EXPECT_NE(*moved, one);
    EXPECT_FALSE(s.Load(one).ok());
    EXPECT_EQ(s.Load(*moved)->subject, "one");
    EXPECT_EQ(this->Subjects(inbox), std::vector<std::string>{"two"});
    EXPECT_EQ(this->Subjects(printed), std::vector<std::string>{"one"});
    // And back: the ID changes again, and the message is found by it.
    auto back = s.Move(*moved, inbox);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(s.Load(*back)->subject, "one");
    EXPECT_TRUE(s.List(printed)->empty());
}

TYPED_TEST(MailStoreContract, UnreadAndMarksStayWithTheMessageAcrossLogonsAndMoves) {
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    NewMessage seen;
    seen.unread = false;
    EXPECT_FALSE(s.Load(*s.Store(inbox, seen))->unread);

    const MessageId id = this->Store(inbox, "fax", 1700000000);
    ASSERT_TRUE(s.SetUnread(id, false).ok());
    EXPECT_FALSE(s.Load(id)->unread);
    ASSERT_TRUE(s.SetUnread(id, true).ok());
    EXPECT_TRUE(s.Load(id)->unread);
    ASSERT_TRUE(s.Mark(id, MessageMark::Printed).ok());
    ASSERT_TRUE(s.Mark(id, MessageMark::Printed).ok());  // twice is once

    LogOn(s);
    auto found = s.Load(id);
    ASSERT_TRUE(found.ok());
    EXPECT_TRUE(found->Marked(MessageMark::Printed));
    EXPECT_FALSE(found->Marked(MessageMark::Answered));
    ASSERT_TRUE(s.Mark(id, MessageMark::Answered).ok());
    auto moved = s.Move(id, *s.Folder({"Printed"}));
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(s.Load(*moved)->marks,
              (std::set<MessageMark>{MessageMark::Printed, MessageMark::Answered}));
}

TYPED_TEST(MailStoreContract, DeliverNowReturnsWithFetchedMailInTheInbox) {
    this->kit.FetchOnDeliver("fetched");
    MailStore& s = this->store();
    const FolderId inbox = LogOn(s);
    EXPECT_TRUE(s.List(inbox)->empty());
    ASSERT_TRUE(s.DeliverNow().ok());
    EXPECT_EQ(this->Subjects(inbox), std::vector<std::string>{"fetched"});
}

}  // namespace
