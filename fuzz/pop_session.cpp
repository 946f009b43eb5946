// A whole POP session on arbitrary server replies, run twice on the same
// program folder (the second run meets what the first remembered). The input
// is cut at 0x1E into the texts the server sends: the greeting first, then
// one text per command line the client writes; a text of a single 0x04 makes
// the server hang up instead. Whatever the server says, the session ends, In/
// holds only whole messages, nothing half-downloaded stays staged, last_error
// is one short printable line, and the password never reaches the log.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "net/FrmMail.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"
#include "platform/fake/FakeSocket.h"
#include "pop/PopClient.h"

namespace {

constexpr const char* kPassword = "pw-7f3a9";

// Virtual time that moves a little whenever someone looks: waits that would
// take minutes end after a few hundred loop turns, without sleeping.
class SteppingClock final : public platform::Clock {
  public:
    platform::SteadyTime Now() const override {
        now_ += platform::Millis(5);
        return now_;
    }
    bool IsReal() const override { return false; }

  private:
    mutable platform::SteadyTime now_{};
};

const std::string& Folder() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/fuzz_pop_session.XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        if (!made) std::abort();
        return std::string(made);
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> replies;
    for (std::size_t pos = 0; pos <= input.size() && replies.size() < 64;) {
        std::size_t cut = input.find('\x1e', pos);
        if (cut == std::string::npos) cut = input.size();
        replies.push_back(input.substr(pos, cut - pos));
        pos = cut + 1;
    }

    std::filesystem::remove_all(Folder() + "/app");
    config::RunGlobals run;
    run.Init(Folder() + "/app");
    std::filesystem::create_directories(run.gInDir);
    run.gLogin = "fax1";
    run.gPOPServer = "10.0.0.1";

    platform::Environment env;
    env.tick = platform::Millis(100);
    platform::Options options;
    options.popMaxMessageMb = 1;
    SteppingClock clock;
    platform::EventLoop loop(clock);
    platform::ProfileStore profile(Folder() + "/voxafax.ini");
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    platform::FakeImaging imaging(printers);
    platform::FakeSocketFactory sockets;
    std::size_t next = 1;
    sockets.setup = [&](platform::FakeSocket& s) {
        s.respond = [&](platform::FakeSocket& sock, const std::string& accepted) {
            if (accepted.empty() || accepted.back() != '\n') return;  // answer whole lines only
            if (next >= replies.size()) return;
            const std::string& reply = replies[next++];
            if (reply == "\x04")
                sock.PeerClose();
            else
                sock.Arrive(reply);
        };
    };
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    cfg.gTimoutMinutes = 2;
    cfg.gPassword = kPassword;
    platform::Log log{platform::LogLevel::Debug, [](platform::LogLevel, std::string_view line) {
                          if (line.find(kPassword) != std::string_view::npos) std::abort();
                      }};
    config::Context ctx{env,     options, loop,  profile, dialogs, printers,
                        imaging, sockets, store, cfg,     run,     log};
    net::FrmMail form(ctx);

    for (int session = 0; session < 2; ++session) {
        next = 1;
        form.POPSocket().SetHostAddress("10.0.0.1");
        static_cast<platform::FakeSocket&>(form.POPSocket()).greeting =
            replies[0].empty() ? std::string("+OK\r\n") : replies[0];
        pop::PopClient client(ctx, form);
        client.wallClock = [] { return std::int64_t{1'800'000'000}; };
        client.CHECKMAIL_Click();

        const std::string& error = run.gLastError;
        if (error.size() > 18 + 200) std::abort();
        for (char c : error)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
        for (const std::string& name : platform::ListFolder(run.gInDir).value_or({})) {
            if (name == ".pop") continue;
            const std::string text = platform::ReadWholeFile(run.gInDir + name).value_or("");
            if (!text.starts_with("+OK") || !text.ends_with("\r\n.\r\n")) std::abort();
        }
        for (const std::string& name : platform::ListFolder(run.gInDir + ".pop").value_or({}))
            if (name != "uncertain" && name != "failing") std::abort();
    }
    return 0;
}
