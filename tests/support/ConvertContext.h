#pragma once
// A run context for the conversion and POP tests: the program folder's
// temp/ and In/, the in-memory store (or the Maildir store, when asked) with
// one profile logged on. The socket factory is supplied by the test (the POP tests pass
// real sockets).
#include <string>

#include "tests/support/RunContext.h"

namespace testsupport {

struct ConvertContext : RunContext {
    inline static const char* kProfile = testsupport::kProfile;

    explicit ConvertContext(platform::SocketFactory* factory = nullptr,
                            RunOptions::Clock clock = RunOptions::Clock::Manual,
                            Maker storeMaker = nullptr)
        : RunContext(RunOptions().On(clock).Sockets(factory).Store(storeMaker)) {
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        cfg.gTimoutMinutes = 2;
        store.AddProfile(kProfile);
        inbox = ctx.store.LogOn(kProfile, false)->inbox;
    }

    platform::FakeFolderData& Inbox() { return store.Inbox(kProfile); }

    platform::FolderId inbox;
};

}  // namespace testsupport
