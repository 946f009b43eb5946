// An arbitrary file dropped into a Maildir's new/: every property of the
// message must read without a crash, and attachments must write out.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/Dialogs.h"
#include "tests/fakes/FakeDialogs.h"
#include "linux/maildir/MaildirStore.h"

namespace {

struct Fixture {
    std::string dir;
    platform::FakeDialogs dialogs;
    std::unique_ptr<platform::MaildirStoreProvider> provider;
    std::unique_ptr<platform::MailSession> session;

    Fixture() {
        char tmpl[] = "/tmp/vf-fuzz-store.XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::ofstream(dir + "/stores.ini") << "[Fuzz]\nmaildir = " << dir << "/Maildir\n";
        provider = std::make_unique<platform::MaildirStoreProvider>(dir + "/stores.ini", dialogs);
        session = std::move(*provider->CreateSession());
        if (!session->Logon("Fuzz", false).ok()) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fx;
    const std::string file = fx.dir + "/Maildir/new/1700000000.M1P1.fuzz";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto inbox = *fx.session->Inbox();
    if (inbox->MessageCount().value_or(0) != 1) std::abort();
    auto msg = *inbox->Message(1);
    (void)msg->ID();
    (void)msg->Type();
    (void)msg->Subject();
    (void)msg->Text();
    (void)msg->SenderAddress();
    (void)msg->TimeReceived();
    (void)msg->TimeSent();
    for (int i = 24; i <= 26; ++i) (void)msg->Field(i);
    int n = msg->RecipientCount().value_or(0);
    for (int i = 1; i <= n; ++i) (void)(*msg->Recipient(i))->Name();
    int a = msg->AttachmentCount().value_or(0);
    for (int i = 1; i <= a; ++i) {
        auto att = *msg->Attachment(i);
        (void)att->Name();
        (void)att->Source();
        (void)att->WriteToFile(fx.dir + "/out.bin");
    }
    ::unlink(file.c_str());
    return 0;
}
