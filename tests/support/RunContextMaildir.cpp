// The Maildir store for a RunContext, in a file of its own so that a program
// that never asks for it does not link the store's library.
#include "linux/maildir/MaildirStore.h"
#include "tests/support/RunContext.h"

namespace testsupport {

void MaildirStore(RunContext& c) {
    WriteFile(c.env.StoresIni(),
              std::string("[") + kProfile + "]\nmaildir = " + (c.dir / "Maildir") + "\n");
    c.ownStore = std::make_unique<platform::MaildirStore>(c.env.StoresIni(), c.dialogs);
}

}  // namespace testsupport
