#pragma once
// A run for the outgoing-mail tests: real loopback sockets (or fakes), a
// short tick so that minute-long waits take milliseconds, and the program
// folder's Out/ and MDNs/ queues.
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "platform/Files.h"
#include "platform/linux/net/Resolver.h"
#include "platform/linux/net/TcpSocket.h"
#include "tests/support/ConvertContext.h"
#include "tests/support/ScriptedServer.h"

namespace mailtest {

using Ctx = testsupport::ConvertContextT<platform::SystemClock>;

struct MailRun {
    explicit MailRun(platform::SocketFactory& factory, platform::Millis tick = platform::Millis(40))
        : c(&factory) {
        c.env.tick = tick;
        c.cfg.gTimoutMinutes = 2;
        std::filesystem::create_directories(c.run.gOutFolder);
        std::filesystem::create_directories(c.run.gMDNFolder);
        form = std::make_unique<net::FrmMail>(c.ctx);
        mailer = std::make_unique<mailout::Mailer>(c.ctx, *form);
    }
    net::FrmMail& F() { return *form; }
    mailout::MailoutState& St() { return mailer->state(); }
    std::string Account(const std::string& key) {
        auto text = platform::ReadWholeFile(c.run.gAppPath + "/account.ini").value_or("");
        return platform::ini::Lookup(text, "log", key).value_or("<absent>");
    }

    Ctx c;
    std::unique_ptr<net::FrmMail> form;
    std::unique_ptr<mailout::Mailer> mailer;
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

// CPU time (user + system) this process has used.
inline std::chrono::microseconds CpuTime() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto us = [](const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; };
    return std::chrono::microseconds(us(ru.ru_utime) + us(ru.ru_stime));
}

// A loopback port with nothing listening on it.
int ClosedPort();

}  // namespace mailtest
