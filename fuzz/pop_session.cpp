// A whole POP session on arbitrary server replies, run twice on the same
// program folder (the second run meets what the first remembered). The input
// is cut at 0x1E into the texts the server sends: the greeting first, then
// one text per command line the client writes; a text of a single 0x04 makes
// the server hang up instead. Whatever the server says, the session ends, In/
// holds only whole messages, nothing half-downloaded stays staged, last_error
// is one short printable line, and the password never reaches the log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/Secrets.h"
#include "net/FrmMail.h"
#include "platform/Files.h"
#include "pop/PopClient.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/RunContext.h"

namespace {

constexpr const char* kPassword = "pw-7f3a9";

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
    testsupport::RunContext c(
        testsupport::RunOptions().On(testsupport::RunOptions::Clock::Stepping).Sockets(&sockets));
    auto& run = c.run;
    run.gLogin = "fax1";
    run.gPOPServer = "10.0.0.1";
    c.env.tick = platform::Millis(100);
    c.options.popMaxMessageMb = 1;
    c.cfg.gTimoutMinutes = 2;
    c.cfg.gPassword = kPassword;
    config::Context& ctx = c.ctx;
    net::FrmMail form(net::NetServices{c.loop, ctx.sockets, c.env, c.options, c.cfg, c.log});
    config::Secrets secrets(c.loop, c.env.OptionsIni());
    const pop::PopServices services{c.loop,    c.log, c.profile, c.env,
                                    c.options, c.cfg, c.run,     secrets};

    for (int session = 0; session < 2; ++session) {
        next = 1;
        form.POPSocket().SetHostAddress("10.0.0.1");
        static_cast<platform::FakeSocket&>(form.POPSocket()).greeting =
            replies[0].empty() ? std::string("+OK\r\n") : replies[0];
        pop::PopClient client(services, form);
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
        for (const std::string& line : c.logLines)
            if (line.find(kPassword) != std::string::npos) std::abort();
    }
    return 0;
}
