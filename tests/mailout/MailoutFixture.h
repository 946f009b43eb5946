#pragma once
// A run for the outgoing-mail tests: real loopback sockets (or fakes) and
// the program folder's Out/ and MDNs/ queues. Against scripted servers and
// fake sockets the clock is a manual one, so minute-long waits pass without
// real waiting; a real server in another process needs the real clock.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "linux/tcp/Resolver.h"
#include "linux/tcp/TcpSocket.h"
#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "tests/support/ConvertContext.h"
#include "tests/support/FreePort.h"
#include "tests/support/ScriptedServer.h"

namespace mailtest {

struct MailRun {
    // `tick` is the length of one tick of the mail timer; by default the
    // program's own minute.
    explicit MailRun(platform::SocketFactory& factory,
                     platform::Millis tick = platform::Environment().tick,
                     testsupport::RunOptions::Clock clock = testsupport::RunOptions::Clock::Manual)
        : c(&factory, clock) {
        c.env.tick = tick;
        sv.tick = tick;
        sv.wallNow = [this] { return wall; };
        form = std::make_unique<net::FrmMail>(
            net::NetServices{c.loop, c.ctx.sockets, c.env, c.options, c.cfg, c.log});
        mailer = std::make_unique<mailout::Mailer>(sv, *form);
    }
    net::FrmMail& F() { return *form; }
    mailout::MailoutState& St() { return mailer->state(); }
    // Whether a problem logged in the run contains `text`.
    bool Logged(const std::string& text) const {
        for (const auto& p : c.log.Problems())
            if (p.find(text) != std::string::npos) return true;
        return false;
    }
    std::string Account(const std::string& key) {
        auto text = platform::ReadWholeFile(c.run.gAppPath + "/account.ini").value_or("");
        return platform::ini::Lookup(text, "log", key).value_or("<absent>");
    }

    // Time the clock has moved since the run was made.
    platform::Millis Elapsed() const {
        return std::chrono::duration_cast<platform::Millis>(c.clock.Now() - start);
    }

    testsupport::ConvertContext c;
    // The calendar of the run (receipts' names, ages and retry times); tests
    // move it to stand for the runs that follow.
    std::time_t wall = 1781000000;  // 2026-06-09
    mailout::Services sv = mailout::ServicesOf(c.ctx);
    const platform::SteadyTime start = c.clock.Now();
    std::unique_ptr<net::FrmMail> form;
    std::unique_ptr<mailout::Mailer> mailer;
};

struct RealMailRun : MailRun {
    explicit RealMailRun(platform::SocketFactory& factory,
                         platform::Millis tick = platform::Environment().tick)
        : MailRun(factory, tick, testsupport::RunOptions::Clock::Real) {}
};

// A server that takes one message: every reply right.
inline testsupport::ScriptedServer& HappySmtp(testsupport::ScriptedServer& s) {
    return s.Send("220 sink.test ready\r\n")
        .Expect("^HELO ")
        .Send("250 sink.test\r\n")
        .Expect("^MAIL FROM: <")
        .Send("250 2.1.0 ok\r\n")
        .Expect("^RCPT TO: <")
        .Send("250 2.1.5 ok\r\n")
        .Expect("^DATA$")
        .Send("354 go ahead\r\n")
        .Capture("\r\n.\r\n")
        .Send("250 2.0.0 queued\r\n")
        .Expect("^QUIT$")
        .Send("221 2.0.0 bye\r\n")
        .Close();
}

// A server that greets, takes HELO and MAIL, and answers RCPT with `rcpt`.
inline testsupport::ScriptedServer& UpToRcpt(testsupport::ScriptedServer& s,
                                             const std::string& rcpt) {
    return s.Send("220 hi\r\n")
        .Expect("^HELO ")
        .Send("250 ok\r\n")
        .Expect("^MAIL ")
        .Send("250 ok\r\n")
        .Expect("^RCPT ")
        .Send(rcpt);
}

// A loopback port with nothing listening on it.
inline int ClosedPort() {
    return testsupport::FreePort();
}

using testsupport::NamesIn;

}  // namespace mailtest
