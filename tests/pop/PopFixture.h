#pragma once
// A POP session against a server on loopback: real sockets on a real clock,
// the run's folders in a temporary directory, ticks shortened so that a
// time-out takes a fraction of a second.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "net/FrmMail.h"
#include "platform/Clock.h"
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

struct PopRun {
    explicit PopRun(int port, platform::Millis tick = platform::Millis(3000)) {
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
        const auto until = std::chrono::steady_clock::now() + d;
        t.loop.After(d, [] {});
        while (std::chrono::steady_clock::now() < until) t.loop.RunOnce(true);
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

    platform::TcpSocketFactory factory{platform::Millis(2000)};
    testsupport::ConvertContextT<platform::SystemClock> t{&factory};
    std::unique_ptr<net::FrmMail> form;
    std::unique_ptr<pop::PopClient> client;
};

}  // namespace poptest
