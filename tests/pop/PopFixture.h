#pragma once
// A POP session against a server on loopback: real sockets, the run's
// folders in a temporary directory. Against the scripted server, which runs
// on the same event loop, the clock is a manual one: a silent server is
// silent as soon as poll() finds nothing ready, and a time-out of whole
// minutes passes without real waiting. A real server in another process needs
// the real clock.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "net/FrmMail.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/linux/net/Resolver.h"
#include "platform/linux/net/TcpSocket.h"
#include "pop/PopClient.h"
#include "tests/support/ConvertContext.h"
#include "tests/support/ScriptedServer.h"

namespace poptest {

// The server side of a logon as fax1/secret, answering STAT with `stat`.
inline testsupport::ScriptedServer& LogOn(testsupport::ScriptedServer& s, const std::string& stat) {
    return s.Send("+OK Ready.\r\n")
        .Expect("^USER fax1$")
        .Send("+OK user\r\n")
        .Expect("^PASS secret$")
        .Send("+OK Logged in.\r\n")
        .Expect("^STAT$")
        .Send(stat);
}

template <class ClockT>
struct PopRunT {
    // `tick` is the length of one tick of the POP timer; by default the
    // program's own minute.
    explicit PopRunT(int port, platform::Millis tick = platform::Environment().tick) {
        t.env.tick = tick;
        t.options.popPort = port;
        t.run.gPOPServer = "127.0.0.1";
        t.run.gLogin = "fax1";
        t.cfg.gPassword = "secret";
        t.cfg.gTimoutMinutes = 2;
    }

    void Session() {
        form = std::make_unique<net::FrmMail>(t.ctx);
        client = std::make_unique<pop::PopClient>(t.ctx, *form);
        client->CHECKMAIL_Click();
    }

    // Lets a server on the same loop read what the client sent last.
    void Pump(platform::Millis d = platform::Millis(100)) {
        bool over = false;
        t.loop.After(d, [&over] { over = true; });
        while (!over) t.loop.RunOnce(true);
    }

    // Time the clock has moved since the context was made.
    platform::Millis Elapsed() const {
        return std::chrono::duration_cast<platform::Millis>(t.clock.Now() - start);
    }

    std::vector<std::string> InFiles() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(t.run.gInDir))
            if (e.is_regular_file()) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Status() {
        std::string buf;
        t.profile.GetProfileStringA("VOXA-FAX", "print_status", "", buf, 4096);
        return buf;
    }

    // Names resolve from an empty table: no test asks a name server.
    platform::TcpSocketFactory factory{platform::TableResolver({})};
    testsupport::ConvertContextT<ClockT> t{&factory};
    const platform::SteadyTime start = t.clock.Now();
    std::unique_ptr<net::FrmMail> form;
    std::unique_ptr<pop::PopClient> client;
};

using PopRun = PopRunT<platform::ManualClock>;
using RealPopRun = PopRunT<platform::SystemClock>;

}  // namespace poptest
