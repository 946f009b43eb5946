// The socket routines and the mail form's handlers on a fake socket (exact
// control over accepted byte counts and arrivals), and the real socket's
// receive bound.
#include <gtest/gtest.h>

#include <cerrno>

#include "mailout/SMTPprocedures.h"
#include "net/SocketWrench.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/mailout/MailoutFixture.h"
#include "tests/support/FreePort.h"

using namespace std::chrono_literals;
using platform::FakeSocket;

namespace mailtest {
namespace {

class FakeWire : public ::testing::Test {
  protected:
    FakeWire() : run(fakes) {}
    FakeSocket& Smtp() { return *fakes.made.at(0); }
    FakeSocket& Pop() { return *fakes.made.at(1); }
    void Connect() {
        Smtp().SetHostAddress("127.0.0.1");
        ASSERT_EQ(Smtp().Connect(25), 0);
        run.c.loop.Yield();
        ASSERT_TRUE(Smtp().Connected());
    }
    platform::FakeSocketFactory fakes;
    MailRun run;
};

TEST_F(FakeWire, PartialWriteContinuesWithTheRestAfterTheWriteEvent) {
    Connect();
    Smtp().writeLimits = {100};
    const std::string text = std::string(100, 'a') + std::string(200, 'b');
    EXPECT_TRUE(net::WriteOut(run.F(), Smtp(), text));
    ASSERT_EQ(Smtp().offers.size(), 2u);
    EXPECT_EQ(Smtp().offers[1], std::string(200, 'b'));
    EXPECT_EQ(Smtp().written, text);
    EXPECT_EQ(run.F().gSocketState, net::kSockIdle);
    EXPECT_EQ(run.St().gSMTPStep, mailout::SMTP_Idle);
}

TEST_F(FakeWire, WriteGivesUpOnFailureOrWithoutWriteEvent) {
    Connect();
    Smtp().writeLimits = {-1};
    EXPECT_FALSE(net::WriteOut(run.F(), Smtp(), "HELO x\r\n"));

    EXPECT_EQ(run.Elapsed(), 0ms);

    // Part accepted, but the socket never says it can take more: the wait
    // runs out after the allowed ticks.
    Smtp().writeLimits = {3};
    Smtp().notifyAfterPartial = false;
    EXPECT_FALSE(net::WriteOut(run.F(), Smtp(), "HELO x\r\n"));
    EXPECT_EQ(run.F().gSMTP_Error, 7);
    EXPECT_EQ(run.Elapsed(), 2 * run.c.env.tick);

    // Not writable at all: one tick, then false; the error code is left alone.
    run.F().gSMTP_Error = 0;
    Smtp().writable = false;
    EXPECT_FALSE(net::WriteOut(run.F(), Smtp(), "x"));
    EXPECT_EQ(run.F().gSMTP_Error, 0);
    EXPECT_EQ(run.Elapsed(), 3 * run.c.env.tick);
}

TEST_F(FakeWire, MessageIsSentInBlocksOf256WithTheEndMarkerOnce) {
    Connect();
    struct Case {
        std::string body;
        std::vector<std::size_t> blocks;
    };
    const std::string end = "\r\n\r\n.\r\n";
    const std::vector<Case> cases = {
        {std::string(249, 'x'), {256}},     // 249 + marker = 256: one block
        {std::string(250, 'x'), {256, 1}},  // 257: two
        {std::string(600, 'y') + end, {256, 256, 95}},
        {".leading dot\r\n" + end, {22}},  // dot-stuffed on the wire
    };
    for (const auto& c : cases) {
        Smtp().offers.clear();
        Smtp().written.clear();
        run.St().gMessageBody = c.body;
        EXPECT_TRUE(mailout::SMTPWriteBlock(run.F(), run.St(), run.sv));
        std::vector<std::size_t> sizes;
        for (const auto& o : Smtp().offers) sizes.push_back(o.size());
        EXPECT_EQ(sizes, c.blocks) << c.body.size();
        std::string want = c.body.ends_with(end) ? c.body : c.body + end;
        if (want.starts_with(".")) want.insert(0, ".");
        EXPECT_EQ(Smtp().written, want);
    }
}

TEST_F(FakeWire, HostFormsDecideBetweenResolvingAndTakingTheAddress) {
    Smtp().knownNames = {"mail.dest.test"};
    EXPECT_TRUE(net::GetHostIPAddress(run.F(), Smtp(), "mail.dest.test", "SMTP"));
    EXPECT_EQ(run.F().gSocketState, net::kSockIdle);
    EXPECT_FALSE(net::GetHostIPAddress(run.F(), Smtp(), "unknown.test", "SMTP"));
    EXPECT_EQ(run.F().gSocketState, net::kSockResolving);
    // Digits, dots and punctuation below "9" are an address, never resolved.
    EXPECT_TRUE(net::GetHostIPAddress(run.F(), Smtp(), "10.1.2.3", "SMTP"));
    EXPECT_EQ(Smtp().HostAddress(), "10.1.2.3");
    EXPECT_FALSE(net::GetHostIPAddress(run.F(), Smtp(), "", "SMTP"));
}

TEST_F(FakeWire, DataEventsReplacePortInAndPopCollectsOnRequest) {
    Connect();
    Smtp().Arrive("250 first piece");
    Smtp().Arrive(" second piece\r\n");
    run.c.loop.Yield();
    EXPECT_EQ(run.F().PortIn, " second piece\r\n");
    EXPECT_EQ(run.F().gInBuffer, " second piece\r\n");

    Pop().SetHostAddress("127.0.0.1");
    ASSERT_EQ(Pop().Connect(110), 0);
    run.c.loop.Yield();
    EXPECT_TRUE(run.F().gflgPOPConnected);
    run.F().gCollectInput = true;
    run.F().gSocketState = net::kSockAwaitReply;
    Pop().Arrive("+OK 12 octets\r\n");
    run.c.loop.Yield();
    EXPECT_EQ(run.F().gReadLen, 15);
    EXPECT_EQ(run.F().gSocketState, net::kSockAwaitReply);  // left for the POP client
    EXPECT_EQ(Pop().RecvNext(), 15);
    run.F().gCollectInput = false;
    Pop().Arrive("-ERR no\r\n");
    run.c.loop.Yield();
    EXPECT_EQ(run.F().PortIn, "+OK 12 octets\r\n-ERR no\r\n");
    Pop().PeerClose();
    run.c.loop.Yield();
    EXPECT_EQ(run.F().gPOP_Error, -1);
    EXPECT_EQ(run.F().gPOPSockErrDescr, "Server Disconnected");
    EXPECT_FALSE(run.F().gflgPOPConnected);
}

// Failures known at once end the wait at once, whatever the side: the
// socket's own code and reason stay for the logs, and no tick passes.
TEST_F(FakeWire, ErrorEventsAndClosedSocketsEndTheWaitsAtOnce) {
    Smtp().SetHostAddress("127.0.0.1");
    Smtp().connectError = ECONNREFUSED;
    Smtp().connectErrorText = "Connection refused";
    net::OpenConnection(run.F(), Smtp(), net::kSmtpSide);
    EXPECT_EQ(run.F().gSMTP_Error, ECONNREFUSED);
    EXPECT_EQ(run.F().gSMTPSocketErrorString, "Connection refused");
    EXPECT_EQ(run.Elapsed(), 0ms);

    // A socket that will not even start keeps its reason too.
    run.F().gSMTP_Error = 0;
    Smtp().connectResult = ENETUNREACH;
    net::OpenConnection(run.F(), Smtp(), net::kSmtpSide);
    EXPECT_EQ(run.F().gSMTP_Error, 6);
    EXPECT_EQ(run.F().gSMTPSocketErrorString, "Network is unreachable");

    // The server hung up earlier in the dialogue and the error was cleared
    // by the next step: writing and waiting for a reply end at once.
    Smtp().connectResult = 0;
    Smtp().connectError = 0;
    run.F().gSMTP_Error = 0;
    Connect();
    Smtp().PeerClose();
    run.c.loop.Yield();
    run.F().gSMTP_Error = 0;
    EXPECT_FALSE(net::WriteOut(run.F(), Smtp(), "MAIL FROM: <a@b>\r\n"));
    run.F().gSocketState = net::kSockAwaitReply;
    EXPECT_FALSE(net::SMTPTimout(run.F(), net::kSockIdle));
    EXPECT_EQ(run.F().gSMTP_Error, -1);
    EXPECT_EQ(mailout::GetSMTPErrorMessage(run.F(), -1), "Server Disconnected");
    EXPECT_EQ(run.Elapsed(), 0ms);
}

TEST_F(FakeWire, TimerTicksFollowTheEnvironmentsTickLength) {
    run.F().SetTimerInterval(run.F().MailTimer, 60000);
    EXPECT_EQ(run.F().MailTimer.Interval(), run.c.env.tick);
    run.F().SetTimerInterval(run.F().MailTimer, 30000);
    EXPECT_EQ(run.F().MailTimer.Interval(), run.c.env.tick / 2);
    while (!run.F().gMailTimerFired) run.F().WaitYield();
    EXPECT_EQ(run.Elapsed(), run.c.env.tick / 2);
}

// A connection that fails is told by an error event with errno's code and
// text, also when it fails before connect() returns.
TEST(TcpSocket, ConnectFailuresArriveAsEventsWithTheirReason) {
    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    platform::TcpSocketFactory f(platform::TableResolver({}));
    for (const char* address : {"127.0.0.1", "not an address"}) {
        auto s = f.Create(loop);
        int code = 0;
        std::string text;
        platform::SocketHandlers h;
        h.onError = [&](int c, const std::string& t) { code = c, text = t; };
        s->SetHandlers(h);
        s->SetHostAddress(address);
        ASSERT_EQ(s->Connect(testsupport::FreePort()), 0) << address;
        EXPECT_EQ(code, 0);  // never within the call
        for (int i = 0; i < 100 && code == 0; ++i) loop.RunOnce(true);
        if (std::string(address) == "127.0.0.1") {
            EXPECT_EQ(code, ECONNREFUSED);
            EXPECT_EQ(text, "Connection refused");
        } else {
            EXPECT_EQ(code, EINVAL);
        }
        EXPECT_FALSE(s->Connected());
    }
    EXPECT_EQ(clock.Now(), platform::SteadyTime{});
}

TEST(TcpSocket, StopsReadingWhenItsBufferIsFullUntilTheClientTakesData) {
    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    auto server = std::make_unique<testsupport::ScriptedServer>(loop);
    server->Flood(0);
    platform::TcpSocketFactory f(platform::TableResolver({}));
    auto s = f.Create(loop);
    std::size_t announced = 0;
    bool connected = false;
    platform::SocketHandlers h;
    h.onConnect = [&] { connected = true; };
    h.onData = [&](std::size_t n) { announced = n; };  // never takes the data
    s->SetHandlers(h);
    s->SetHostAddress("127.0.0.1");
    ASSERT_EQ(s->Connect(server->port()), 0);
    // Runs the loop until no fd is ready any more, which lets the clock move
    // to the timer set here. False when that takes more than maxTurns: an fd
    // that stays ready would make every wait spin.
    auto settle = [&](int maxTurns) {
        bool quiet = false;
        const platform::TimerId t = loop.After(platform::Millis(1), [&] { quiet = true; });
        for (int i = 0; i < maxTurns && !quiet; ++i) loop.RunOnce(true);
        loop.Cancel(t);
        return quiet;
    };
    ASSERT_TRUE(settle(100000));
    EXPECT_TRUE(connected);
    EXPECT_EQ(announced, platform::TcpSocketFactory::kMaxBuffered);
    // What the server got rid of is bounded by our buffer plus the kernel's.
    EXPECT_LT(server->bytesFlooded(), 64u << 20);

    // Taking data lets more in.
    EXPECT_EQ(s->Receive(1 << 19).size(), 1u << 19);
    ASSERT_TRUE(settle(100000));
    EXPECT_EQ(announced, platform::TcpSocketFactory::kMaxBuffered);

    // The server hangs up while our buffer is full: the hang-up must not
    // keep the loop busy.
    server.reset();
    EXPECT_TRUE(settle(10));
}

}  // namespace
}  // namespace mailtest

namespace mailtest {
namespace {

TEST(Resolver, SystemResolverFindsLocalhostAndTablesKnowOnlyTheirNames) {
    // localhost comes from the hosts file: no name server is asked.
    auto addrs = platform::SystemResolver(std::chrono::seconds(2))("localhost");
    EXPECT_NE(std::find(addrs.begin(), addrs.end(), "127.0.0.1"), addrs.end());
    EXPECT_TRUE(platform::SystemResolver(std::chrono::seconds(2))("").empty());
    auto table = platform::TableResolver({{"Mail.Test", {"127.0.0.5", "::1"}}});
    EXPECT_EQ(table("mail.test"), (std::vector<std::string>{"127.0.0.5", "::1"}));
    EXPECT_TRUE(table("other.test").empty());
    EXPECT_TRUE(platform::IsDottedAddress("10.0.0.1"));
    EXPECT_FALSE(platform::IsDottedAddress("10.0.0.x"));
    EXPECT_FALSE(platform::IsDottedAddress(""));
}

}  // namespace
}  // namespace mailtest
