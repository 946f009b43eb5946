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
#include <vector>

#include "config/Options.h"
#include "config/Secrets.h"
#include "linux/tcp/Resolver.h"
#include "linux/tcp/TcpSocket.h"
#include "net/FrmMail.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
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

// A message on a scripted server: its unique-id and its text.
struct Msg {
    std::string uid;
    std::string text;
};

inline std::string Message(const std::string& subject, const std::string& body = "fax\r\n") {
    return "From: a@b.test\r\nSubject: " + subject + "\r\n\r\n" + body;
}

// The RETR answer for a message: reply line, body, terminator.
inline std::string Retr(const std::string& msg) {
    return "+OK " + std::to_string(msg.size()) + " octets\r\n" + msg + ".\r\n";
}

// Logon, STAT, LIST and UIDL of a mailbox holding `box`; UIDL is refused
// when no message has a unique-id.
inline testsupport::ScriptedServer& Mailbox(testsupport::ScriptedServer& s,
                                            const std::vector<Msg>& box) {
    std::size_t total = 0;
    std::string list = "+OK\r\n", uidl = "+OK\r\n";
    bool uids = false;
    for (std::size_t i = 0; i < box.size(); ++i) {
        total += box[i].text.size();
        list += std::to_string(i + 1) + " " + std::to_string(box[i].text.size()) + "\r\n";
        uidl += std::to_string(i + 1) + " " + box[i].uid + "\r\n";
        uids |= !box[i].uid.empty();
    }
    LogOn(s, "+OK " + std::to_string(box.size()) + " " + std::to_string(total) + "\r\n");
    if (box.empty()) return s;
    return s.Expect("^LIST$")
        .Send(list + ".\r\n")
        .Expect("^UIDL$")
        .Send(uids ? uidl + ".\r\n" : "-ERR not supported\r\n");
}

// RETR and DELE of message n, both answered well.
inline testsupport::ScriptedServer& Fetch(testsupport::ScriptedServer& s, int n,
                                          const std::string& text) {
    return s.Expect("^RETR " + std::to_string(n) + "$")
        .Send(Retr(text))
        .Expect("^DELE " + std::to_string(n) + "$")
        .Send("+OK\r\n");
}

struct PopRun {
    // `tick` is the length of one tick of the POP timer; by default the
    // program's own minute.
    explicit PopRun(int port, platform::Millis tick = platform::Environment().tick,
                    testsupport::RunOptions::Clock clock = testsupport::RunOptions::Clock::Manual)
        : t(&factory, clock) {
        t.env.tick = tick;
        t.options.popPort = port;
        t.run.gPOPServer = "127.0.0.1";
        t.run.gLogin = "fax1";
        t.cfg.gPassword = "secret";
    }

    pop::PopServices Services() {
        return {t.loop, t.log, t.profile, t.env, t.options, t.cfg, t.run, secrets};
    }

    // A new form and client, as a run makes them.
    void Make() {
        // The client goes before the form it points into.
        client.reset();
        form = std::make_unique<net::FrmMail>(
            net::NetServices{t.loop, t.ctx.sockets, t.env, t.options, t.cfg, t.log});
        client = std::make_unique<pop::PopClient>(Services(), *form);
        client->wallClock = [this] { return wallNow; };
    }

    void Session() {
        Make();
        client->CHECKMAIL_Click();
    }

    // A later run against `server`: a new session as the next run makes it.
    void NextRun(testsupport::ScriptedServer& server) {
        t.options.popPort = server.port();
        Session();
    }

    // The run log's lines that contain `text`.
    std::vector<std::string> LogWith(const std::string& text) const {
        std::vector<std::string> out;
        for (const auto& l : t.logLines)
            if (l.find(text) != std::string::npos) out.push_back(l);
        return out;
    }

    // The texts of the files in In/, sorted.
    std::vector<std::string> InTexts() const {
        std::vector<std::string> out;
        for (const auto& n : InFiles()) out.push_back(testsupport::ReadFile(t.InFile(n)));
        std::sort(out.begin(), out.end());
        return out;
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

    std::vector<std::string> InFiles() const { return testsupport::NamesIn(t.run.gInDir, true); }

    std::string Status() {
        std::string buf;
        t.profile.GetProfileStringA("VOXA-FAX", "print_status", "", buf, 4096);
        return buf;
    }

    // Names resolve from a table: no test asks a name server.
    platform::TcpSocketFactory factory{
        platform::TableResolver({{"pop.example.test", {"127.0.0.1"}}})};
    testsupport::ConvertContext t;
    // A password command is waited for on a loop of its own, in real time:
    // on the test's manual clock the wait would skip to its time limit.
    platform::SystemClock realClock;
    platform::EventLoop secretsLoop{realClock};
    config::Secrets secrets{secretsLoop, t.env.OptionsIni()};
    const platform::SteadyTime start = t.clock.Now();
    std::int64_t wallNow = 1'800'000'000;  // the wall clock the runs see
    std::unique_ptr<net::FrmMail> form;
    std::unique_ptr<pop::PopClient> client;
};

struct RealPopRun : PopRun {
    explicit RealPopRun(int port, platform::Millis tick = platform::Environment().tick)
        : PopRun(port, tick, testsupport::RunOptions::Clock::Real) {}
};

}  // namespace poptest
