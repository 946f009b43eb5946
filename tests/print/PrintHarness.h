#pragma once
// A run context for printing tests: fake printers (or real ones), a profile
// file in a private folder, a manual clock, and stand-ins for the services
// printing never uses.
#include <cstdlib>
#include <memory>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakePrinters.h"
#include "platform/linux/imaging/ImageLibrary.h"
#include "platform/linux/printing/SystemPrinters.h"
#include "tests/support/TempDir.h"

namespace printtest {

struct NoSockets final : platform::SocketFactory {
    std::unique_ptr<platform::Socket> Create(platform::EventLoop&) override { return nullptr; }
};
struct NoStores final : platform::MailStoreProvider {
    platform::Result<std::unique_ptr<platform::MailSession>> CreateSession() override {
        return platform::Status::Error(platform::Fail::NotFound, "no store in printing tests");
    }
};

// Keeps libcups away from any scheduler of this machine: printing tests see
// only the folder printers they configure (or the scheduler a script names).
inline void IsolateCups(const std::string& dir) {
    if (!std::getenv("VOXAFAX_TEST_CUPS"))
        ::setenv("CUPS_SERVER", (dir + "/no-cups.sock").c_str(), 1);
}

struct Harness {
    testsupport::TempDir dir;
    platform::Environment env;
    platform::Options options;
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    platform::ProfileStore profile{dir / "voxafax.ini"};
    platform::FakeDialogs dialogs;
    std::unique_ptr<platform::Printers> realPrinters;
    platform::FakePrinters fakePrinters;
    platform::Printers& printers;
    std::unique_ptr<platform::Imaging> realImaging;
    platform::FakeImaging fakeImaging{fakePrinters};
    platform::Imaging& imaging;
    NoSockets sockets;
    NoStores stores;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log{platform::LogLevel::Debug, nullptr};  // problems kept, nothing printed
    config::Context ctx{env,     options, loop,   profile, dialogs, printers,
                        imaging, sockets, stores, cfg,     run,     log};

    // real: system printers with one folder printer "Fax PDF" writing into
    // out(), and the real imaging component.
    explicit Harness(bool real = false)
        : printers(real ? *MakeReal() : static_cast<platform::Printers&>(fakePrinters)),
          imaging(real ? *(realImaging = platform::MakeImageLibrary(printers, dir.path()))
                       : static_cast<platform::Imaging&>(fakeImaging)) {
        env.configDir = dir.path();
        env.profilePath = dir / "voxafax.ini";
        run.Init(dir / "home");
        if (real) printers.SetCurrent("Fax PDF");
    }

    std::string out() const { return dir / "prints"; }
    void SetKey(const std::string& key, const std::string& value) {
        profile.WriteProfileStringA(config::kSection, key, value);
    }

  private:
    platform::Printers* MakeReal() {
        IsolateCups(dir.path());
        testsupport::WriteFile(dir / "printers.ini", "[Fax PDF]\ndirectory = " + dir.path() +
                                                         "/prints   ; made when missing\n");
        realPrinters = platform::MakeSystemPrinters(dir / "printers.ini");
        return realPrinters.get();
    }
};

}  // namespace printtest
