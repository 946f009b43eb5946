// The Maildir store for a RunContext, in a file of its own so that a program
// that never asks for it does not link the store's library.
#include "linux/maildir/MaildirStore.h"
#include "tests/support/RunContext.h"

namespace testsupport {

namespace {

void MaildirStoreSyncing(RunContext& c, platform::FileSyncer::Mode syncs) {
    WriteFile(c.env.StoresIni(),
              std::string("[") + kProfile + "]\nmaildir = " + (c.dir / "Maildir") + "\n");
    c.ownStore = std::make_unique<platform::MaildirStore>(c.env.StoresIni(), c.dialogs, syncs);
}

}  // namespace

void MaildirStore(RunContext& c) {
    MaildirStoreSyncing(c, platform::FileSyncer::Mode::Background);
}
void MaildirStoreSyncingAtOnce(RunContext& c) {
    MaildirStoreSyncing(c, platform::FileSyncer::Mode::AtOnce);
}
void MaildirStoreSyncingFileSystem(RunContext& c) {
    MaildirStoreSyncing(c, platform::FileSyncer::Mode::Off);
}

}  // namespace testsupport
