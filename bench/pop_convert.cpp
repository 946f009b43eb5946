// Bench driver: the program's POP download into an In folder, or its
// conversion of an In folder into a Maildir inbox, alone in a process that
// the bench scripts time from outside.
//   pop_convert download HOME PORT     (user fax1, password fax1pass)
//   pop_convert convert HOME
//   pop_convert extract HOME           (every inbox attachment into temp/, as
//                                       the inbox walk writes them out)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "config/Secrets.h"
#include "convert/Converter.h"
#include "linux/maildir/MaildirStore.h"
#include "linux/tcp/TcpSocket.h"
#include "net/FrmMail.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Imaging.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "pop/PopClient.h"
#include "tests/fakes/FakeDialogs.h"
#include "tests/fakes/FakePrinters.h"

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s download HOME PORT | convert HOME\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], home = argv[2];
    platform::Environment env;
    env.tick = platform::Millis(60000);
    config::Options options;
    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    std::filesystem::create_directories(home + "/temp");
    std::filesystem::create_directories(home + "/In");
    platform::ProfileStore profile(home + "/voxafax.ini");
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    NoImaging imaging;
    platform::TcpSocketFactory sockets;
    { std::ofstream(home + "/stores.ini") << "[Bench]\nmaildir = " << home << "/Maildir\n"; }
    platform::MaildirStore store(home + "/stores.ini", dialogs);
    config::NodeConfig cfg;
    cfg.gVoxaFaxAddr = "fax1@127.0.0.1";
    cfg.gPassword = "fax1pass";
    cfg.gTimoutMinutes = 2;
    config::RunGlobals run;
    run.Init(home);
    run.gLogin = "fax1";
    run.gPOPServer = "127.0.0.1";
    platform::Log log{platform::LogLevel::Debug, nullptr};  // problems kept, nothing printed

    if (mode == "download" && argc > 3) {
        options.popPort = std::atoi(argv[3]);
        net::FrmMail form(net::NetServices{loop, sockets, env, options, cfg, log});
        config::Secrets secrets(loop, env.OptionsIni());
        pop::PopClient client({loop, log, profile, env, options, cfg, run, secrets}, form);
        client.CHECKMAIL_Click();
        if (form.gPOP_Error != 0 && form.gPOP_Error != -1) {
            std::fprintf(stderr, "download failed: %d\n", form.gPOP_Error);
            return 1;
        }
    } else if (mode == "convert") {
        auto logon = store.LogOn("Bench", false);
        if (!logon.ok()) return 1;
        convert::ProcessInMessages({store, logon->inbox, loop, log, run, cfg.gVoxaFaxAddr});
        if (run.failure != config::RunFailure::None) {
            std::fprintf(stderr, "conversion failed: %s\n", run.gLastError.c_str());
            return 1;
        }
    } else if (mode == "extract") {
        auto logon = store.LogOn("Bench", false);
        if (!logon.ok()) return 1;
        for (const platform::MessageId& id : store.List(logon->inbox).value_or({})) {
            auto msg = store.Load(id);
            if (!msg.ok()) return 1;
            for (std::size_t a = 0; a < msg->attachments.size(); ++a)
                if (!store.WriteAttachment(id, a, run.gTempDir + "part.dat").ok()) return 1;
        }
    } else {
        return 2;
    }
    return 0;
}
