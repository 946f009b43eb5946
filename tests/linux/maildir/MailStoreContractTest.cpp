// What callers rely on from a mail store, checked on the in-memory fake and
// on the Maildir store alike: tests of the inbox walk and the conversion run
// on the fake, the program on the Maildir store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

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
    std::unique_ptr<MailSession> Logon() { return storekits::Logon(kit.Provider()); }
    static std::shared_ptr<MailFolder> Root(MailSession& s) {
        return *(*s.InfoStore(1))->RootFolder();
    }
    // A stored message, received at `received`.
    static std::string Store(MailFolder& folder, const std::string& subject,
                             std::int64_t received) {
        auto m = *folder.AddMessage();
        EXPECT_TRUE(m->SetSubject(subject).ok());
        EXPECT_TRUE(m->SetTimeReceived(received).ok());
        EXPECT_TRUE(m->Update().ok());
        return *m->ID();
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

TYPED_TEST(MailStoreContract, LogonFindsProfilesWithoutCaseAndOffersThemInteractively) {
    auto s = std::move(*this->kit.Provider().CreateSession());
    EXPECT_FALSE(s->Logon("VOXA-FAX", false).ok());
    EXPECT_FALSE(s->Inbox().ok());
    EXPECT_FALSE(s->Logon("VOXA-FAX", true).ok());  // nobody picks one
    this->kit.OfferOnInteractiveLogon(kProfile);
    EXPECT_FALSE(s->Logon("VOXA-FAX", false).ok());
    ASSERT_TRUE(s->Logon("VOXA-FAX", true).ok());
    EXPECT_EQ(*s->Name(), kProfile);
    ASSERT_TRUE(s->Logon("windows MESSAGING settings", false).ok());
    EXPECT_EQ(*s->Name(), kProfile);
    EXPECT_EQ(*s->InfoStoreCount(), 1);
    EXPECT_FALSE(s->InfoStore(2).ok());
    ASSERT_TRUE(s->Logoff().ok());
    EXPECT_FALSE(s->Name().ok());
    EXPECT_FALSE(s->Inbox().ok());
}

TYPED_TEST(MailStoreContract, FoldersKeepExactNamesAndIdsAcrossSessions) {
    auto s = this->Logon();
    auto faxes = *this->Root(*s)->AddFolder("VOXA-FAXes");
    for (const char* name : {"Printed", "printed", "a.b/c%d"}) ASSERT_TRUE(faxes->AddFolder(name));

    auto s2 = this->Logon();
    auto root = this->Root(*s2);
    ASSERT_EQ(*root->FolderCount(), 1);
    auto f = *root->Folder(1);
    EXPECT_EQ(*f->Name(), "VOXA-FAXes");
    EXPECT_EQ(*f->ID(), *faxes->ID());
    EXPECT_NE(*f->ID(), *(*s2->Inbox())->ID());
    ASSERT_EQ(*f->FolderCount(), 3);
    std::set<std::string> names;
    for (int i = 1; i <= 3; ++i) names.insert(*(*f->Folder(i))->Name());
    EXPECT_EQ(names, (std::set<std::string>{"Printed", "printed", "a.b/c%d"}));
    EXPECT_FALSE(f->Folder(0).ok());
    EXPECT_FALSE(f->Folder(4).ok());
}

TYPED_TEST(MailStoreContract, NewMessageIsStoredByUpdateAndReadsBackByteForByte) {
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    const std::string text =
        " +OK 1234 octets\r\nFrom: a@b.example\r\nSubject: x\r\n\r\n\r\nCaf\xe9\0\r\n.\r\n"s;
    const std::string tif = "II*\0\r\n\x80\xff\n\r"s + std::string(300000, '\0') + "end\r\n";
    const std::string dataFile = this->tmp / "fax.tif";
    WriteFile(dataFile, tif);

    auto msg = *inbox->AddMessage();
    ASSERT_TRUE(msg->SetSenderName("Sender <a@b.example>").ok());
    ASSERT_TRUE(msg->SetSubject("VOXA-FAX  From: a@b.example").ok());
    ASSERT_TRUE(msg->SetTimeReceived(1700000000).ok());
    ASSERT_TRUE(msg->SetTimeSent(kZeroDateUnix).ok());
    ASSERT_TRUE(msg->SetText(text).ok());
    EXPECT_EQ(*msg->Text(), text);
    auto attach = [&](const std::string& name, const std::string& file) {
        auto a = *msg->AddAttachment();
        EXPECT_TRUE(a->SetType(1).ok() && a->SetPosition(0).ok() && a->SetName(name).ok() &&
                    a->SetSource(file).ok());
        if (!file.empty()) {
            EXPECT_TRUE(a->ReadFromFile(file).ok());
        }
    };
    attach("fax.tif;", dataFile);
    // The conversion reuses the data file's name for the next part.
    WriteFile(dataFile, "second part");
    attach("r\xe9sum\xe9 =?x?= ;; two  blanks;", dataFile);
    attach("never given content;", "");
    for (const char* address : {"SMTP:fax1@voxafax.example", "SMTP:Fax Line <f@x.example>"}) {
        auto rcp = *msg->AddRecipient();
        ASSERT_TRUE(rcp->SetAddress(address).ok());
        ASSERT_TRUE(rcp->SetType(1).ok());
    }
    EXPECT_EQ(*inbox->MessageCount(), 0);
    ASSERT_TRUE(msg->Update().ok());
    ASSERT_EQ(*inbox->MessageCount(), 1);

    auto back = *inbox->Message(1);
    EXPECT_EQ(*back->ID(), *msg->ID());
    EXPECT_EQ(*back->Text(), text);
    EXPECT_EQ(*back->Subject(), "VOXA-FAX  From: a@b.example");
    EXPECT_EQ(*back->SenderAddress(), "a@b.example");
    EXPECT_EQ(*back->Type(), "IPM.Note");
    EXPECT_EQ(*back->TimeSent(), "12/30/1899 12:00:00 AM");
    EXPECT_EQ(*back->TimeReceived(), FormatStoreTime(1700000000));
    ASSERT_EQ(*back->RecipientCount(), 2);
    EXPECT_EQ(*(*back->Recipient(1))->Name(), "fax1@voxafax.example");
    EXPECT_EQ(*(*back->Recipient(2))->Name(), "Fax Line <f@x.example>");
    EXPECT_FALSE(back->Recipient(3).ok());
    ASSERT_EQ(*back->AttachmentCount(), 3);
    const std::pair<std::string, std::string> want[] = {
        {"fax.tif;", tif},
        {"r\xe9sum\xe9 =?x?= ;; two  blanks;", "second part"},
        {"never given content;", ""}};
    for (int i = 1; i <= 3; ++i) {
        auto a = *back->Attachment(i);
        EXPECT_EQ(*a->Name(), want[i - 1].first);
        ASSERT_TRUE(a->WriteToFile(this->tmp / "out.bin").ok());
        EXPECT_TRUE(ReadFile(this->tmp / "out.bin") == want[i - 1].second) << i;
    }
    EXPECT_EQ(*(*back->Attachment(1))->Source(), dataFile);
    EXPECT_EQ(*(*back->Attachment(3))->Source(), "");
    EXPECT_FALSE(back->Attachment(4).ok());
    EXPECT_FALSE(back->Field(1).ok());
    if (::access("/dev/full", W_OK) == 0) {  // a full disk is no success
        EXPECT_FALSE((*back->Attachment(1))->WriteToFile("/dev/full").ok());
    }
}

TYPED_TEST(MailStoreContract, UpdateStoresAllOrNothingAndOnlyOnce) {
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    WriteFile(this->tmp / "note.txt", "plain words\r\n");
    auto msg = *inbox->AddMessage();
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetName("note.txt;").ok());
    ASSERT_TRUE(att->ReadFromFile(this->tmp / "note.txt").ok());
    EXPECT_FALSE(att->ReadFromFile(this->tmp / "missing.txt").ok());
    EXPECT_FALSE(msg->MoveTo(*inbox->ID()).ok());
    this->kit.BreakDelivery();
    EXPECT_FALSE(msg->Update().ok());
    EXPECT_EQ(*inbox->MessageCount(), 0);
    this->kit.RepairDelivery();
    ASSERT_TRUE(msg->Update().ok());
    ASSERT_TRUE(msg->Update().ok());
    ASSERT_EQ(*inbox->MessageCount(), 1);
    // Without text or dates they read empty; a text file stays an attachment.
    auto back = *inbox->Message(1);
    EXPECT_EQ(*back->Text(), "");
    EXPECT_EQ(*back->Subject(), "");
    EXPECT_EQ(*back->TimeSent(), "");
    ASSERT_EQ(*back->AttachmentCount(), 1);
    ASSERT_TRUE((*back->Attachment(1))->WriteToFile(this->tmp / "out.txt").ok());
    EXPECT_EQ(ReadFile(this->tmp / "out.txt"), "plain words\r\n");
}

TYPED_TEST(MailStoreContract, MoveGivesNewIdAndListingsKeepPositionsUntilCounted) {
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    auto printed = *(*this->Root(*s)->AddFolder("VOXA-FAXes"))->AddFolder("Printed");
    const std::string id = this->Store(*inbox, "one", 1700000001);
    this->Store(*inbox, "two", 1700000002);
    ASSERT_EQ(*inbox->MessageCount(), 2);

    auto msg = *s->GetMessage(id);
    EXPECT_FALSE(msg->MoveTo("no such folder").ok());
    ASSERT_TRUE(msg->MoveTo(*printed->ID()).ok());
    const std::string moved = *msg->ID();
    EXPECT_NE(moved, id);
    EXPECT_FALSE(s->GetMessage(id).ok());
    EXPECT_EQ(*(*s->GetMessage(moved))->Subject(), "one");
    // The listing keeps its positions, but the item that left cannot be read.
    EXPECT_FALSE(inbox->Message(1).ok());
    EXPECT_EQ(*(*inbox->Message(2))->Subject(), "two");
    EXPECT_FALSE(inbox->Message(3).ok());
    EXPECT_EQ(*inbox->MessageCount(), 1);
    ASSERT_EQ(*printed->MessageCount(), 1);
    EXPECT_EQ(*(*printed->Message(1))->ID(), moved);
    // And back: the ID changes again, and the message is found by it.
    ASSERT_TRUE(msg->MoveTo(*inbox->ID()).ok());
    EXPECT_EQ(*(*s->GetMessage(*msg->ID()))->Subject(), "one");
    EXPECT_EQ(*printed->MessageCount(), 0);
}

TYPED_TEST(MailStoreContract, UnreadFlagIsKeptWithTheMessage) {
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    auto seen = *inbox->AddMessage();
    ASSERT_TRUE(seen->SetUnread(false).ok());
    ASSERT_TRUE(seen->Update().ok());
    EXPECT_FALSE(this->kit.Unread(*seen->ID()));

    const std::string id = this->Store(*inbox, "fresh", 1700000000);
    EXPECT_TRUE(this->kit.Unread(id));
    auto msg = *s->GetMessage(id);
    ASSERT_TRUE(msg->SetUnread(false).ok());
    EXPECT_EQ(*msg->ID(), id);
    EXPECT_FALSE(this->kit.Unread(id));
    ASSERT_TRUE(msg->SetUnread(true).ok());
    EXPECT_TRUE(this->kit.Unread(id));
}

TYPED_TEST(MailStoreContract, NotesAndMarksSurviveANewSessionAndTravelWithAMove) {
    using platform::MessageMark;
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    auto draft = *inbox->AddMessage();
    EXPECT_FALSE(draft->SetMark(MessageMark::Printed).ok());  // only stored messages
    ASSERT_TRUE(draft->SetNote("1200 parts; the last 200 were left out").ok());
    ASSERT_TRUE(draft->Update().ok());
    EXPECT_EQ(*(*s->GetMessage(*draft->ID()))->Note(), "1200 parts; the last 200 were left out");
    const std::string id = this->Store(*inbox, "fax", 1700000000);
    auto msg = *s->GetMessage(id);
    EXPECT_EQ(*msg->Note(), "");
    EXPECT_FALSE(*msg->HasMark(MessageMark::Printed));
    ASSERT_TRUE(msg->SetMark(MessageMark::Printed).ok());
    ASSERT_TRUE(msg->SetMark(MessageMark::Printed).ok());  // twice is once
    EXPECT_EQ(*msg->ID(), id);

    auto again = this->Logon();
    auto found = *again->GetMessage(id);
    EXPECT_TRUE(*found->HasMark(MessageMark::Printed));
    EXPECT_FALSE(*found->HasMark(MessageMark::Answered));
    ASSERT_TRUE(found->SetMark(MessageMark::Answered).ok());
    auto printed = *this->Root(*again)->AddFolder("Printed");
    ASSERT_TRUE(found->MoveTo(*printed->ID()).ok());
    auto moved = *again->GetMessage(*found->ID());
    EXPECT_TRUE(*moved->HasMark(MessageMark::Printed));
    EXPECT_TRUE(*moved->HasMark(MessageMark::Answered));
}

TYPED_TEST(MailStoreContract, DeliverNowReturnsWithFetchedMailInTheInbox) {
    this->kit.FetchOnDeliver("fetched");
    auto s = this->Logon();
    auto inbox = *s->Inbox();
    EXPECT_EQ(*inbox->MessageCount(), 0);
    ASSERT_TRUE(s->DeliverNow().ok());
    ASSERT_EQ(*inbox->MessageCount(), 1);
    EXPECT_EQ(*(*inbox->Message(1))->Subject(), "fetched");
}

}  // namespace
