#pragma once
// The two mail stores set up for tests with one profile, kProfile, and the
// few things a test arranges outside the MailStore interfaces.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "linux/maildir/MaildirStore.h"
#include "platform/MailStore.h"
#include "tests/fakes/FakeDialogs.h"
#include "tests/fakes/FakeMailStore.h"
#include "tests/support/TempDir.h"

namespace storekits {

inline constexpr const char* kProfile = "Windows Messaging Settings";

// Logs on to the profile; its inbox.
inline platform::FolderId LogOn(platform::MailStore& store, const std::string& profile = kProfile) {
    auto l = store.LogOn(profile, false);
    EXPECT_TRUE(l.ok()) << l.status().detail;
    return l ? l->inbox : platform::FolderId();
}

struct FakeKit {
    platform::FakeMailStore store;

    FakeKit() { store.AddProfile(kProfile); }
    platform::MailStore& Store() { return store; }
    void OfferOnInteractiveLogon(const std::string& profile) { store.interactiveChoice = profile; }
    // DeliverNow brings a message with this subject into the inbox.
    void FetchOnDeliver(const std::string& subject) {
        store.FindProfile(kProfile)->onDeliver = [this, subject](platform::FakeProfile& p) {
            store.NewMessage(*p.inbox).Subject(subject);
        };
    }
    void BreakDelivery() { store.FailAlways("Store"); }
    void RepairDelivery() { store.ClearFailures(); }
};

struct MaildirKit {
    testsupport::TempDir tmp;
    std::string maildir;
    std::string profiles;  // further stores.ini text
    platform::FakeDialogs dialogs;
    platform::MaildirStore store{tmp / "stores.ini", dialogs};

    // A blank in the path on purpose.
    explicit MaildirKit(const std::string& folder = "Mail box") : maildir(tmp / folder) {
        WriteIni("");
    }
    // kProfile's section gets `keys`; `profiles` follows it.
    void WriteIni(const std::string& keys) {
        testsupport::WriteFile(tmp / "stores.ini", "[" + std::string(kProfile) +
                                                       "]\nmaildir = " + maildir +
                                                       "   ; where faxes land\n" + keys + profiles);
    }
    platform::MailStore& Store() { return store; }
    void OfferOnInteractiveLogon(const std::string& profile) { dialogs.choice = profile; }
    void FetchOnDeliver(const std::string& subject) {
        WriteIni("deliver = printf 'Subject: " + subject +
                 "\\n\\nhi\\n' > \"$MAILDIR/new/1700000000.M1P1.fetch\"  ; test\n");
    }
    // The inbox's tmp/ turns into a file: nothing can be written there.
    void BreakDelivery() {
        std::filesystem::remove_all(maildir + "/tmp");
        testsupport::WriteFile(maildir + "/tmp", "");
    }
    void RepairDelivery() {
        std::filesystem::remove(maildir + "/tmp");
        std::filesystem::create_directory(maildir + "/tmp");
    }
    // A message dropped into the inbox by an outside program.
    void Drop(const std::string& bytes, const std::string& name = "1700000000.M1P1.outside") {
        testsupport::WriteFile(maildir + "/new/" + name, bytes);
    }
};

}  // namespace storekits
