#pragma once
// A run context for the conversion and POP tests: a program folder in a
// temporary directory with temp/ and In/, an in-memory store with one
// profile and its inbox, a manual clock, and recording dialogs. The socket
// factory is supplied by the test (the POP tests pass real sockets).
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Imaging.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"
#include "tests/support/TempDir.h"

namespace testsupport {

class NoImaging final : public platform::Imaging {
  public:
    platform::Result<platform::ImageInfo> Open(const std::string&) override {
        return platform::Status::Error(platform::Fail::Format, "no imaging in this test");
    }
    platform::Status Print(const std::string&, const std::string&) override {
        return platform::Status::Error(platform::Fail::Format, "no imaging in this test");
    }
};

class NoSockets final : public platform::SocketFactory {
  public:
    std::unique_ptr<platform::Socket> Create(platform::EventLoop&) override { return nullptr; }
};

template <class ClockT>
struct ConvertContextT {
    inline static const char* kProfile = "Windows Messaging Settings";

    explicit ConvertContextT(platform::SocketFactory* factory = nullptr)
        : sockets(factory ? *factory : noSockets) {
        run.Init(dir.path());
        std::filesystem::create_directories(run.gTempDir);
        std::filesystem::create_directories(run.gInDir);
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        cfg.gTimoutMinutes = 2;
        store.AddProfile(kProfile);
        auto s = store.CreateSession();
        session = std::move(*s);
        (void)session->Logon(kProfile, false);
        inbox = *session->Inbox();
    }

    platform::FakeFolderData& Inbox() { return store.Inbox(kProfile); }
    std::string InFile(const std::string& name) const { return run.gInDir + name; }

    TempDir dir;
    platform::Environment env;
    platform::Options options;
    ClockT clock;
    platform::EventLoop loop{clock};
    platform::ProfileStore profile{dir / "voxafax.ini"};
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    NoImaging imaging;
    NoSockets noSockets;
    platform::SocketFactory& sockets;
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    config::RunGlobals run;
    // Every line of the run log, nothing printed.
    std::vector<std::string> logLines;
    platform::Log log{platform::LogLevel::Debug, [this](platform::LogLevel, std::string_view line) {
                          logLines.emplace_back(line);
                      }};
    config::Context ctx{env,     options, loop,  profile, dialogs, printers,
                        imaging, sockets, store, cfg,     run,     log};
    std::unique_ptr<platform::MailSession> session;
    std::shared_ptr<platform::MailFolder> inbox;
};

using ConvertContext = ConvertContextT<platform::ManualClock>;

}  // namespace testsupport
