// The socket routines and the mail form's handlers on fake sockets: exact
// control over accepted byte counts, arrivals and their pieces.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/FrmMail.h"
#include "net/SocketWrench.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/RunContext.h"

using namespace std::chrono_literals;
using platform::FakeSocket;

namespace {

class FakeWire : public ::testing::Test {
  protected:
    FakeWire()
        : c(testsupport::RunOptions().Sockets(&fakes)),
          form(net::NetServices{c.loop, fakes, c.env, c.options, c.cfg, c.log}) {
        c.cfg.gTimoutMinutes = 2;
    }
    FakeSocket& Smtp() { return *fakes.made.at(0); }
    FakeSocket& Pop() { return *fakes.made.at(1); }
    void Connect(FakeSocket& s) {
        s.SetHostAddress("127.0.0.1");
        ASSERT_EQ(s.Connect(25), 0);
        c.loop.Yield();
        ASSERT_TRUE(s.Connected());
    }
    platform::Millis Elapsed() const {
        return std::chrono::duration_cast<platform::Millis>(c.clock.Now() - start);
    }
    platform::FakeSocketFactory fakes;
    testsupport::RunContext c;
    net::FrmMail form;
    const platform::SteadyTime start = c.clock.Now();
};

TEST_F(FakeWire, PartialWriteContinuesWithTheRestAfterTheWriteEvent) {
    Connect(Smtp());
    Smtp().writeLimits = {100};
    const std::string text = std::string(100, 'a') + std::string(200, 'b');
    EXPECT_TRUE(net::WriteOut(form, Smtp(), text));
    ASSERT_EQ(Smtp().offers.size(), 2u);
    EXPECT_EQ(Smtp().offers[1], std::string(200, 'b'));
    EXPECT_EQ(Smtp().written, text);
    EXPECT_EQ(form.gSocketState, net::kSockIdle);
}

TEST_F(FakeWire, WriteGivesUpOnFailureOrWithoutWriteEvent) {
    Connect(Smtp());
    Smtp().writeLimits = {-1};
    EXPECT_FALSE(net::WriteOut(form, Smtp(), "HELO x\r\n"));
    EXPECT_EQ(Elapsed(), 0ms);

    // Part accepted, but the socket never says it can take more: the wait
    // runs out after the allowed ticks.
    Smtp().writeLimits = {3};
    Smtp().notifyAfterPartial = false;
    EXPECT_FALSE(net::WriteOut(form, Smtp(), "HELO x\r\n"));
    EXPECT_EQ(form.gSMTP_Error, 7);
    EXPECT_EQ(Elapsed(), 2 * c.env.tick);

    // Not writable at all: one tick, then false; the error code is left alone.
    form.gSMTP_Error = 0;
    Smtp().writable = false;
    EXPECT_FALSE(net::WriteOut(form, Smtp(), "x"));
    EXPECT_EQ(form.gSMTP_Error, 0);
    EXPECT_EQ(Elapsed(), 3 * c.env.tick);
}

TEST_F(FakeWire, HostFormsDecideBetweenResolvingAndTakingTheAddress) {
    Smtp().knownNames = {"mail.dest.test"};
    EXPECT_TRUE(net::GetHostIPAddress(form, Smtp(), "mail.dest.test", "SMTP"));
    EXPECT_EQ(form.gSocketState, net::kSockIdle);
    EXPECT_FALSE(net::GetHostIPAddress(form, Smtp(), "unknown.test", "SMTP"));
    EXPECT_EQ(form.gSocketState, net::kSockResolving);
    // Digits, dots and punctuation below "9" are an address, never resolved.
    EXPECT_TRUE(net::GetHostIPAddress(form, Smtp(), "10.1.2.3", "SMTP"));
    EXPECT_EQ(Smtp().HostAddress(), "10.1.2.3");
    EXPECT_FALSE(net::GetHostIPAddress(form, Smtp(), "", "SMTP"));
}

// Failures known at once end the wait at once: the socket's own code and
// reason stay for the logs, and no tick passes.
TEST_F(FakeWire, ErrorEventsAndClosedSocketsEndTheWaitsAtOnce) {
    Smtp().SetHostAddress("127.0.0.1");
    Smtp().connectError = ECONNREFUSED;
    Smtp().connectErrorText = "Connection refused";
    net::OpenConnection(form, Smtp(), net::kSmtpSide);
    EXPECT_EQ(form.gSMTP_Error, ECONNREFUSED);
    EXPECT_EQ(form.gSMTPSocketErrorString, "Connection refused");
    EXPECT_EQ(Elapsed(), 0ms);

    // A socket that will not even start keeps its reason too.
    form.gSMTP_Error = 0;
    Smtp().connectResult = ENETUNREACH;
    net::OpenConnection(form, Smtp(), net::kSmtpSide);
    EXPECT_EQ(form.gSMTP_Error, 6);
    EXPECT_EQ(form.gSMTPSocketErrorString, "Network is unreachable");

    // The server hung up earlier in the dialogue and the error was cleared
    // by the next step: writing and waiting for a reply end at once.
    Smtp().connectResult = 0;
    Smtp().connectError = 0;
    form.gSMTP_Error = 0;
    Connect(Smtp());
    Smtp().PeerClose();
    c.loop.Yield();
    form.gSMTP_Error = 0;
    EXPECT_FALSE(net::WriteOut(form, Smtp(), "MAIL FROM: <a@b>\r\n"));
    form.gSocketState = net::kSockAwaitReply;
    EXPECT_FALSE(net::SMTPTimout(form, net::kSockIdle));
    EXPECT_EQ(form.gSMTP_Error, -1);
    EXPECT_EQ(form.gSMTPSocketErrorString, "Server Disconnected");
    EXPECT_EQ(Elapsed(), 0ms);

    // The POP side: a hang-up is -1 with its words.
    Connect(Pop());
    EXPECT_TRUE(form.gflgPOPConnected);
    Pop().PeerClose();
    c.loop.Yield();
    EXPECT_EQ(form.gPOP_Error, -1);
    EXPECT_EQ(form.gPOPSockErrDescr, "Server Disconnected");
    EXPECT_FALSE(form.gflgPOPConnected);
}

TEST_F(FakeWire, TimerTicksFollowTheEnvironmentsTickLength) {
    form.SetTimerInterval(form.MailTimer, 60000);
    EXPECT_EQ(form.MailTimer.Interval(), c.env.tick);
    form.SetTimerInterval(form.MailTimer, 30000);
    EXPECT_EQ(form.MailTimer.Interval(), c.env.tick / 2);
    while (!form.gMailTimerFired) form.WaitYield();
    EXPECT_EQ(Elapsed(), c.env.tick / 2);
}

// The upgrade carries the side's trust settings, and nothing received in
// clear survives it: not in the socket, not in what the form holds.
TEST_F(FakeWire, TlsUpgradeDropsUnjudgedTextAndWaitsForTheHandshake) {
    c.options.smtpCaFile = "/etc/authority.pem";
    Connect(Smtp());
    form.gSocketState = net::kSockAwaitReply;
    Smtp().Arrive("220 go ahead\r\n");
    c.loop.Yield();
    Smtp().Arrive("250 injected\r\n");
    ASSERT_TRUE(net::StartTls(form, Smtp(), net::kSmtpSide));
    EXPECT_EQ(Smtp().tlsStarts, 1);
    EXPECT_EQ(Smtp().tls.caFile, "/etc/authority.pem");
    EXPECT_NE(Smtp().tls.trustHint.find("set [smtp] ca_file in " + c.env.OptionsIni()),
              std::string::npos);
    EXPECT_TRUE(form.PortIn.empty());
    EXPECT_EQ(Smtp().RecvNext(), 0);
    EXPECT_EQ(form.gSocketState, net::kSockConnected);

    // A handshake that fails ends the wait at once with the socket's words.
    Connect(Pop());
    Pop().tlsError = EPROTO;
    Pop().tlsErrorText = "certificate not trusted for 127.0.0.1: self-signed certificate";
    form.POPTimout = [&](std::int16_t doState) {
        while (form.gSocketState != doState && form.gPOP_Error == 0) form.WaitYield();
        return false;
    };
    EXPECT_FALSE(net::StartTls(form, Pop(), net::kPopSide));
    EXPECT_EQ(form.gPOP_Error, EPROTO);
    EXPECT_EQ(form.gPOPSockErrDescr, Pop().tlsErrorText);
    EXPECT_EQ(Elapsed(), 0ms);
}

}  // namespace

namespace {

// Replies are handed over whole, however TCP cut them: every reply of a
// dialogue split at every byte position, and dripped a byte at a time.
// SMTP replies end at their last line ("250-" lines continue them).
TEST_F(FakeWire, RepliesAreHandedOverWholeWhereverTheyAreCut) {
    const std::vector<std::string> smtp = {"220 sink.test ESMTP ready\r\n",
                                           "250-sink.test\r\n250-SIZE 1000\r\n250 HELP\r\n",
                                           "250 2.1.0 ok\r\n", "354 go ahead\r\n", "221 bye\r\n"};
    const std::vector<std::string> pop = {"+OK Ready.\r\n", "+OK\r\n", "-ERR [AUTH] no\r\n"};
    Connect(Smtp());
    Connect(Pop());
    for (int side : {net::kSmtpSide, net::kPopSide}) {
        FakeSocket& sock = side == net::kSmtpSide ? Smtp() : Pop();
        const auto& replies = side == net::kSmtpSide ? smtp : pop;
        auto awaitWhole = [&](const std::vector<std::string>& pieces, const std::string& whole) {
            form.gSocketState = net::kSockAwaitReply;
            for (const auto& piece : pieces) sock.Arrive(piece);
            for (std::size_t i = 0; i <= pieces.size(); ++i) c.loop.Yield();
            EXPECT_EQ(form.gSocketState, net::kSockIdle) << whole;
            EXPECT_EQ(form.PortIn, whole);
        };
        for (const std::string& reply : replies) {
            for (std::size_t cut = 1; cut < reply.size(); ++cut)
                awaitWhole({reply.substr(0, cut), reply.substr(cut)}, reply);
            std::vector<std::string> drip;
            for (char ch : reply) drip.emplace_back(1, ch);
            awaitWhole(drip, reply);
        }
    }
}

// A line that arrives behind a reply, before the next command, is no reply
// to that command; two replies in one piece are handed over one at a time.
TEST_F(FakeWire, WhatArrivesBeforeACommandIsNoReplyToIt) {
    Connect(Smtp());
    form.gSocketState = net::kSockAwaitReply;
    Smtp().Arrive("220 ready\r\n250 injected\r\n");
    c.loop.Yield();
    EXPECT_EQ(form.PortIn, "220 ready\r\n");
    EXPECT_EQ(form.Pending(net::kSmtpSide), "250 injected\r\n");
    ASSERT_TRUE(net::WriteOut(form, Smtp(), "HELO x\r\n"));
    form.gSocketState = net::kSockAwaitReply;
    Smtp().Arrive("250 hello\r\n");
    EXPECT_FALSE(net::SMTPTimout(form, net::kSockIdle));
    EXPECT_EQ(form.PortIn, "250 hello\r\n");

    // A reply that never ends is handed over once it is too long to be one.
    form.gSocketState = net::kSockAwaitReply;
    Smtp().Arrive(std::string(70 * 1024, 'x'));
    c.loop.Yield();
    EXPECT_EQ(form.gSocketState, net::kSockIdle);
    EXPECT_EQ(form.PortIn.size(), 70u * 1024);

    // The time-out covers the whole reply: pieces do not restart it.
    const auto before = Elapsed();
    form.gSocketState = net::kSockAwaitReply;
    ASSERT_TRUE(net::WriteOut(form, Smtp(), "MAIL FROM: <a@b>\r\n"));
    form.gSocketState = net::kSockAwaitReply;
    for (int i = 0; i < 5; ++i) {
        c.loop.After(c.env.tick * (i + 1) * 9 / 10, [&] { Smtp().Arrive("2"); });
    }
    EXPECT_TRUE(net::SMTPTimout(form, net::kSockIdle));
    EXPECT_EQ(Elapsed() - before, 2 * c.env.tick);
}

}  // namespace
