// An arbitrary file dropped into a Maildir's new/: every property of the
// message must read without a crash, and attachments must write out.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "linux/maildir/MaildirStore.h"
#include "platform/Dialogs.h"
#include "tests/fakes/FakeDialogs.h"

namespace {

struct Fixture {
    std::string dir;
    platform::FakeDialogs dialogs;
    std::unique_ptr<platform::MaildirStore> store;
    platform::FolderId inbox;

    Fixture() {
        char tmpl[] = "/tmp/vf-fuzz-store.XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::ofstream(dir + "/stores.ini") << "[Fuzz]\nmaildir = " << dir << "/Maildir\n";
        store = std::make_unique<platform::MaildirStore>(dir + "/stores.ini", dialogs);
        auto logon = store->LogOn("Fuzz", false);
        if (!logon) std::abort();
        inbox = logon->inbox;
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
    auto ids = fx.store->List(fx.inbox).value_or({});
    if (ids.size() != 1) std::abort();
    auto msg = fx.store->Load(ids[0]);
    if (!msg) std::abort();  // a file that opens always loads
    for (std::size_t i = 0; i < msg->attachments.size(); ++i)
        (void)fx.store->WriteAttachment(ids[0], i, fx.dir + "/out.bin");
    ::unlink(file.c_str());
    return 0;
}
