// An arbitrary saved POP message through the MIME walker into an in-memory
// store, with small limits so that long lines, full headers and spilled text
// parts are reached by small inputs. Nothing may be written outside the
// program folder's temp/ and In/, and the message must be saved.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/MimeWalker.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Imaging.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"

namespace {

class NoImaging final : public platform::Imaging {
  public:
    platform::Result<platform::ImageInfo> Open(const std::string&) override {
        return platform::Status::Error(platform::Fail::Format, "none");
    }
    platform::Status Print(const std::string&, const std::string&) override {
        return platform::Status::Error(platform::Fail::Format, "none");
    }
};
class NoSockets final : public platform::SocketFactory {
  public:
    std::unique_ptr<platform::Socket> Create(platform::EventLoop&) override { return nullptr; }
};

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

struct Fixture {
    std::string root;
    platform::Environment env;
    platform::Options options;
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    std::unique_ptr<platform::ProfileStore> profile;
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    NoImaging imaging;
    NoSockets sockets;
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log{platform::LogLevel::Debug, nullptr};
    std::unique_ptr<config::Context> ctx;
    std::unique_ptr<platform::MailSession> session;
    std::shared_ptr<platform::MailFolder> inbox;
    std::set<std::string> rootEntries;

    Fixture() {
        char tmpl[] = "/tmp/vf-fuzz-walk.XXXXXX";
        root = ::mkdtemp(tmpl);
        const std::string app = root + "/app";
        run.Init(app);
        std::filesystem::create_directories(run.gTempDir);
        std::filesystem::create_directories(run.gInDir);
        profile = std::make_unique<platform::ProfileStore>(root + "/voxafax.ini");
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        ctx = std::make_unique<config::Context>(config::Context{env, options, loop, *profile,
                                                                dialogs, printers, imaging, sockets,
                                                                store, cfg, run, log});
        store.AddProfile("P");
        session = std::move(*store.CreateSession());
        (void)session->Logon("P", false);
        inbox = *session->Inbox();
        rootEntries = Entries(root);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fx;
    const std::string path = fx.run.gInDir + "1.TXT";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    convert::WalkerLimits limits;
    limits.readBuffer = 7;
    limits.maxLinePiece = 64;
    limits.maxHeaderText = 1024;
    limits.maxTextPart = 512;
    limits.singlePartTextMax = 300;
    convert::ProcessMessageWith(*fx.ctx, fx.inbox, path, limits);

    auto& messages = fx.store.Inbox("P").messages;
    if (messages.size() != 1) std::abort();  // every file makes exactly one message
    messages.clear();
    if (Entries(fx.root) != fx.rootEntries) std::abort();
    if (Entries(fx.run.gAppPath) != std::set<std::string>{"In", "temp"}) std::abort();
    if (Entries(fx.run.gInDir) != std::set<std::string>{"1.TXT"}) std::abort();
    for (auto& e : std::filesystem::directory_iterator(fx.run.gTempDir)) {
        if (!e.is_regular_file()) std::abort();
        std::filesystem::remove(e.path());
    }
    fx.dialogs.shown.clear();
    fx.store.calls.clear();
    return 0;
}
