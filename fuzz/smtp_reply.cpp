// The SMTP dialogue on arbitrary server replies: the input is cut at 0x1E
// into the texts the server sends, the greeting first and then one text per
// command the client writes. A first byte with bit 0x80 or 0x40 set is no
// text: 0x80 makes the server accept only part of each write, 0x40 makes it
// a relay spoken to with EHLO and a login over (implicit) TLS, with the
// mechanism in bits 0x30 (the best offered, LOGIN, XOAUTH2). Whatever the server
// says, the dialogue ends, its code is one the client can produce, the
// session log stays one printable line, and the bytes the client wrote,
// read as a server reads them, hold no command but the client's own: the
// message, which carries a command of its own behind a lone dot, never ends
// the data early.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mailout/Mailer.h"
#include "mailout/SMTPprocedures.h"
#include "mailout/SmtpReply.h"
#include "net/FrmMail.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/RunContext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    const unsigned flags = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
    const bool partial = flags & 0x80, relay = flags & 0x40;
    if (partial || relay) input.erase(0, 1);  // the flag byte is not part of the greeting
    std::vector<std::string> replies;
    std::size_t pos = 0;
    while (pos <= input.size() && replies.size() < 16) {
        std::size_t cut = input.find('\x1e', pos);
        if (cut == std::string::npos) cut = input.size();
        replies.push_back(input.substr(pos, cut - pos));
        pos = cut + 1;
    }

    platform::FakeSocketFactory sockets;
    std::size_t next = 1;
    sockets.setup = [&](platform::FakeSocket& s) {
        s.greeting = replies[0].empty() ? std::string("220 x\r\n") : replies[0];
        if (partial) s.writeLimits = {3, 3, 3, 3, 3, 3, 3, 3};
        s.respond = [&](platform::FakeSocket& sock, const std::string& accepted) {
            if (accepted.empty() || accepted.back() != '\n') return;  // answer whole lines only
            if (next < replies.size()) sock.Arrive(replies[next++]);
        };
    };
    testsupport::RunContext c(testsupport::RunOptions()
                                  .On(testsupport::RunOptions::Clock::Stepping)
                                  .NoFolders()
                                  .Sockets(&sockets));
    c.env.tick = platform::Millis(100);
    c.cfg.gTimoutMinutes = 2;
    config::Context& ctx = c.ctx;
    net::FrmMail form(
        net::NetServices{ctx.loop, ctx.sockets, ctx.env, ctx.options, ctx.cfg, ctx.log});
    mailout::Services sv = mailout::ServicesOf(ctx);
    mailout::MailoutState st;
    if (relay) {
        st.settings.port = 25;
        st.settings.implicitTls = true;
        st.settings.extended = true;
        st.settings.user = "me@b.test";
        st.settings.password = "pw";
        st.settings.mechanism = (flags & 0x30) == 0x10   ? "LOGIN"
                                : (flags & 0x30) == 0x20 ? "XOAUTH2"
                                                         : "";
        st.settings.fallbackSender = "me@b.test";
    }
    st.gSMTPServer = "10.0.0.1";
    st.gSMTPSenderAddr = "a@b.test";
    st.gSMTPRecipAddr = "c@d.test";
    st.gMessageBody = "Subject: x\r\n\r\n.line\r\nHi\r.\rMAIL FROM:<evil@x.test>\r\n.\r\nQUIT\n";

    const bool ok = mailout::SendEMail(form, st, sv);
    const int code = form.gSMTP_Error;
    if (ok != (code == 0)) std::abort();
    // 6: a greeting whose line never ended is no greeting.
    if (!(code >= -1 && code <= 7) || code == 5) std::abort();
    for (char c : st.gSMTPLog)
        if (static_cast<unsigned char>(c) < 32) std::abort();
    (void)mailout::GetSMTPErrorMessage(form, code);

    // Lines of the client's stream: commands, then after DATA the message
    // up to its lone ".". No bare CR or LF anywhere.
    const std::string& wire = static_cast<platform::FakeSocket&>(form.SMTPSocket()).written;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == '\r' && i + 1 < wire.size() && wire[i + 1] != '\n') std::abort();
        if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) std::abort();
    }
    bool inData = false;
    std::size_t at = 0;
    while (at < wire.size()) {
        std::size_t eol = wire.find("\r\n", at);
        if (eol == std::string::npos) break;  // a block cut short by a partial write
        const std::string line = wire.substr(at, eol - at);
        at = eol + 2;
        if (inData) {
            if (line == ".") inData = false;
            continue;
        }
        const std::vector<std::string> own =
            relay
                ? std::vector<std::string>{"EHLO 10.0.0.1",
                                           "AUTH PLAIN " +
                                               mailout::Base64(std::string("\0me@b.test\0pw", 13)),
                                           "AUTH LOGIN",
                                           mailout::Base64("me@b.test"),
                                           mailout::Base64("pw"),
                                           "AUTH XOAUTH2 " +
                                               mailout::Base64("user=me@b.test\x01"
                                                               "auth=Bearer pw\x01\x01"),
                                           "",
                                           "MAIL FROM:<a@b.test>",
                                           "MAIL FROM:<me@b.test>",
                                           "RCPT TO:<c@d.test>",
                                           "QUIT"}
                : std::vector<std::string>{"HELO 10.0.0.1", "MAIL FROM: <a@b.test>",
                                           "RCPT TO: <c@d.test>", "QUIT"};
        if (line == "DATA") {
            inData = true;
        } else if (std::find(own.begin(), own.end(), line) == own.end()) {
            std::abort();
        }
    }
    return 0;
}
