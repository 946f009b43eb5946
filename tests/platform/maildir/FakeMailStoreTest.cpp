// The in-memory store must behave like the real one where callers rely on
// it: logon by case-blind name, IDs that change on a move, listings that
// keep positions, failures that are injected once.
#include <gtest/gtest.h>

#include "platform/fake/FakeMailStore.h"

using namespace platform;

namespace {

std::unique_ptr<MailSession> LoggedOn(FakeMailStore& store, const std::string& profile) {
    auto s = store.CreateSession();
    EXPECT_TRUE(s.ok());
    EXPECT_TRUE((*s)->Logon(profile, false).ok());
    return std::move(*s);
}

}  // namespace

TEST(FakeMailStore, LogonMatchesProfileWithoutCaseAndReportsNameAsWritten) {
    FakeMailStore store;
    store.AddProfile("Windows Messaging Settings");
    auto s = store.CreateSession();
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE((*s)->Logon("other", false).ok());
    EXPECT_FALSE((*s)->Inbox().ok());
    store.interactiveChoice = "windows messaging settings";
    EXPECT_FALSE((*s)->Logon("other", false).ok());
    ASSERT_TRUE((*s)->Logon("other", true).ok());
    EXPECT_EQ(*(*s)->Name(), "Windows Messaging Settings");
}

TEST(FakeMailStore, BuiltMessageAppearsInInboxOnlyAfterUpdate) {
    FakeMailStore store;
    store.AddProfile("P");
    auto session = LoggedOn(store, "P");
    auto inbox = *session->Inbox();
    auto msg = *inbox->AddMessage();
    ASSERT_TRUE(msg->SetSubject("Fax From: a@b").ok());
    ASSERT_TRUE(msg->SetTimeSent(kZeroDateUnix).ok());
    auto att = *msg->AddAttachment();
    ASSERT_TRUE(att->SetName("fax.tif;").ok());
    auto rcp = *msg->AddRecipient();
    ASSERT_TRUE(rcp->SetAddress("SMTP:me@voxafax.example").ok());
    EXPECT_EQ(*inbox->MessageCount(), 0);
    ASSERT_TRUE(msg->Update().ok());
    ASSERT_EQ(*inbox->MessageCount(), 1);
    auto back = *inbox->Message(1);
    EXPECT_EQ(*back->Subject(), "Fax From: a@b");
    EXPECT_EQ(*back->TimeSent(), "12/30/1899 12:00:00 AM");
    EXPECT_EQ(*(*back->Recipient(1))->Name(), "me@voxafax.example");
    EXPECT_EQ(*(*back->Attachment(1))->Name(), "fax.tif;");
    EXPECT_EQ(store.Inbox("P").messages[0]->attachments[0].hasContent, false);
}

TEST(FakeMailStore, MoveGivesNewIdAndRecordsTarget) {
    FakeMailStore store;
    store.AddProfile("P");
    store.NewMessage(store.Inbox("P")).Subject("one");
    FakeFolderData& printed = store.EnsureFolder("P", "VOXA-FAXes/Printed");
    auto session = LoggedOn(store, "P");
    auto inbox = *session->Inbox();
    ASSERT_EQ(*inbox->MessageCount(), 1);
    std::string id = *(*inbox->Message(1))->ID();

    store.FailNext("Message.MoveTo");
    auto msg = *session->GetMessage(id);
    EXPECT_FALSE(msg->MoveTo(printed.id).ok());
    ASSERT_TRUE(msg->MoveTo(printed.id).ok());
    EXPECT_NE(*msg->ID(), id);
    EXPECT_FALSE(session->GetMessage(id).ok());
    ASSERT_EQ(store.moves.size(), 1u);
    EXPECT_EQ(store.moves[0].folderPath, "VOXA-FAXes/Printed");
    EXPECT_EQ(store.Folder("P", "VOXA-FAXes/Printed")->messages.size(), 1u);
    // The listing keeps its positions, but the item that left cannot be read.
    EXPECT_FALSE(inbox->Message(1).ok());
    EXPECT_EQ(*inbox->MessageCount(), 0);
}

TEST(FakeMailStore, DeliverNowRunsTheProfilesHook) {
    FakeMailStore store;
    store.AddProfile("P").onDeliver = [&](FakeProfile& p) {
        store.NewMessage(*p.inbox).Subject("new");
    };
    auto session = LoggedOn(store, "P");
    ASSERT_TRUE(session->DeliverNow().ok());
    EXPECT_EQ(*(*session->Inbox())->MessageCount(), 1);
    EXPECT_EQ(store.FindProfile("p")->deliverCalls, 1);
}
