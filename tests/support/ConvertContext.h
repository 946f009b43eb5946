#pragma once
// A run context for the conversion and POP tests: the program folder's
// temp/ and In/, the in-memory store with one profile logged on and its
// inbox open. The socket factory is supplied by the test (the POP tests pass
// real sockets).
#include <memory>
#include <string>

#include "tests/support/RunContext.h"

namespace testsupport {

struct ConvertContext : RunContext {
    inline static const char* kProfile = testsupport::kProfile;

    explicit ConvertContext(platform::SocketFactory* factory = nullptr,
                            RunOptions::Clock clock = RunOptions::Clock::Manual)
        : RunContext(RunOptions().On(clock).Sockets(factory)) {
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        cfg.gTimoutMinutes = 2;
        store.AddProfile(kProfile);
        session = std::move(*store.CreateSession());
        (void)session->Logon(kProfile, false);
        inbox = *session->Inbox();
    }

    platform::FakeFolderData& Inbox() { return store.Inbox(kProfile); }

    std::unique_ptr<platform::MailSession> session;
    std::shared_ptr<platform::MailFolder> inbox;
};

}  // namespace testsupport
