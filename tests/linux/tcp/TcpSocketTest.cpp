// The real socket on loopback against a scripted server on the same event
// loop: connect failures, the receive bound, TLS trust and the TLS upgrade.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

#include "linux/tcp/Resolver.h"
#include "linux/tcp/TcpSocket.h"
#include "tests/support/FreePort.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCert.h"

namespace {

using testsupport::ScriptedServer;

// A socket with handlers that record what happened.
struct Client {
    explicit Client(platform::EventLoop& l) : loop(l), sock(factory.Create(l)) {
        platform::SocketHandlers h;
        h.onConnect = [this] { ++connects; };
        h.onData = [this](std::size_t) { ++arrivals; };
        h.onError = [this](int c, const std::string& t) { code = c, text = t; };
        h.onDisconnect = [this] { closed = true; };
        sock->SetHandlers(h);
    }
    // Runs the loop until `done` holds; false after `turns` turns without.
    bool RunUntil(const std::function<bool()>& done, int turns = 10000) {
        for (int i = 0; i < turns && !done(); ++i) loop.RunOnce(true);
        return done();
    }
    bool Connect(int port, platform::TlsSettings tls = {}) {
        sock->SetTls(tls);
        sock->SetHostAddress("127.0.0.1");
        return sock->Connect(port) == 0 && RunUntil([&] { return connects > 0 || code != 0; });
    }
    // Takes `n` bytes, waiting for them as long as they come.
    std::string Take(std::size_t n) {
        std::string got;
        RunUntil([&] {
            got += sock->Receive(n - got.size());
            return got.size() >= n || code != 0 || closed;
        });
        return got;
    }
    platform::EventLoop& loop;
    platform::TcpSocketFactory factory{platform::TableResolver({})};
    std::unique_ptr<platform::Socket> sock;
    int connects = 0, arrivals = 0, code = 0;
    std::string text;
    bool closed = false;
};

struct Loopback : ::testing::Test {
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    testsupport::TempDir dir;
    testsupport::TestCert cert = testsupport::MakeTestCert(dir.path());
};

// A connection that fails is told by an error event with errno's code and
// text, also when it fails before connect() returns.
TEST_F(Loopback, ConnectFailuresArriveAsEventsWithTheirReason) {
    for (const char* address : {"127.0.0.1", "not an address"}) {
        Client c(loop);
        c.sock->SetHostAddress(address);
        ASSERT_EQ(c.sock->Connect(testsupport::FreePort()), 0) << address;
        EXPECT_EQ(c.code, 0);  // never within the call
        c.RunUntil([&] { return c.code != 0; });
        if (std::string(address) == "127.0.0.1") {
            EXPECT_EQ(c.code, ECONNREFUSED);
            EXPECT_EQ(c.text, "Connection refused");
        } else {
            EXPECT_EQ(c.code, EINVAL);
        }
        EXPECT_FALSE(c.sock->Connected());
    }
    EXPECT_EQ(clock.Now(), platform::SteadyTime{});
}

TEST_F(Loopback, StopsReadingWhenItsBufferIsFullUntilTheClientTakesData) {
    auto server = std::make_unique<ScriptedServer>(loop);
    server->Flood(0);
    Client c(loop);
    std::size_t announced = 0;
    platform::SocketHandlers h;
    h.onConnect = [&] { ++c.connects; };
    h.onData = [&](std::size_t n) { announced = n; };  // never takes the data
    c.sock->SetHandlers(h);
    ASSERT_TRUE(c.Connect(server->port()));
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
    EXPECT_EQ(announced, platform::TcpSocketFactory::kMaxBuffered);
    // What the server got rid of is bounded by our buffer plus the kernel's.
    EXPECT_LT(server->bytesFlooded(), 64u << 20);

    // Taking data lets more in.
    EXPECT_EQ(c.sock->Receive(1 << 19).size(), 1u << 19);
    ASSERT_TRUE(settle(100000));
    EXPECT_EQ(announced, platform::TcpSocketFactory::kMaxBuffered);

    // The server hangs up while our buffer is full: the hang-up must not
    // keep the loop busy.
    server.reset();
    EXPECT_TRUE(settle(10));
}

// The upgrade drops what came in clear and was not taken: a line injected
// behind the server's consent never reads as a reply on the secured stream.
TEST_F(Loopback, TlsUpgradeDropsWhatCameInClearAndCarriesTheDialogueOn) {
    ASSERT_FALSE(cert.certFile.empty());
    ScriptedServer s(loop);
    s.Send("220 ready\r\n")
        .Expect("^STARTTLS$")
        .Send("220 go ahead\r\n250 injected\r\n")
        .StartTls(cert.certFile, cert.keyFile)
        .Expect("^EHLO x$")
        .Send("250 secured\r\n");
    Client c(loop);
    ASSERT_TRUE(c.Connect(s.port()));
    EXPECT_EQ(c.Take(11), "220 ready\r\n");
    c.sock->Write("STARTTLS\r\n");
    EXPECT_EQ(c.Take(14), "220 go ahead\r\n");
    ASSERT_TRUE(c.RunUntil([&] { return c.sock->RecvNext() > 0; }));  // the injected line is in
    platform::TlsSettings tls;
    tls.caFile = cert.certFile;
    c.sock->StartTls(tls);
    EXPECT_FALSE(c.sock->Connected());  // until the handshake is done
    EXPECT_EQ(c.sock->RecvNext(), 0);
    ASSERT_TRUE(c.RunUntil([&] { return c.connects == 2 || c.code != 0; })) << c.text;
    EXPECT_EQ(c.code, 0) << c.text;
    EXPECT_EQ(c.sock->Write("EHLO x\r\n"), 8);
    EXPECT_EQ(c.Take(13), "250 secured\r\n");
    EXPECT_TRUE(s.failures().empty()) << s.failures()[0];
    EXPECT_TRUE(s.finished());
}

// The system's authorities do not know a private one: the failure names it
// and what to set; a file or a folder of extra authorities is added to them.
TEST_F(Loopback, ExtraAuthoritiesFromAFileOrAFolderAreTrusted) {
    ScriptedServer s(loop);
    s.StartTls(cert.certFile, cert.keyFile).Send("+OK secured\r\n");
    platform::TlsSettings tls;
    tls.enabled = true;
    tls.trustHint = "set [pop3] ca_file";
    Client untrusted(loop);
    ASSERT_TRUE(untrusted.Connect(s.port(), tls));
    EXPECT_EQ(untrusted.code, EPROTO);
    EXPECT_EQ(untrusted.text,
              "certificate not trusted for 127.0.0.1: self-signed certificate; set [pop3] ca_file");

    tls.caFile = cert.certFile;
    Client byFile(loop);
    ASSERT_TRUE(byFile.Connect(s.port(), tls));
    EXPECT_EQ(byFile.code, 0) << byFile.text;
    EXPECT_EQ(byFile.Take(13), "+OK secured\r\n");

    const std::string folder = dir / "authorities";
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(cert.certFile,
                               folder + "/" + testsupport::HashedName(cert.certFile));
    tls.caFile.clear();
    tls.caPath = folder;
    Client byFolder(loop);
    ASSERT_TRUE(byFolder.Connect(s.port(), tls));
    EXPECT_EQ(byFolder.code, 0) << byFolder.text;

    // Another authority's certificate is still not trusted.
    const testsupport::TestCert other = testsupport::MakeTestCert(dir.path(), "other");
    tls.caPath.clear();
    tls.caFile = other.certFile;
    Client wrong(loop);
    ASSERT_TRUE(wrong.Connect(s.port(), tls));
    EXPECT_EQ(wrong.code, EPROTO);

    tls.caFile = dir / "missing.pem";
    Client missing(loop);
    ASSERT_TRUE(missing.Connect(s.port(), tls));
    EXPECT_NE(missing.text.find("cannot read the trusted certificates in"), std::string::npos);
}

// An upgrade that cannot happen is told by an event, never within the call.
TEST_F(Loopback, UpgradeOfAClosedSocketFailsByAnEvent) {
    Client c(loop);
    c.sock->StartTls({});
    EXPECT_EQ(c.code, 0);
    ASSERT_TRUE(c.RunUntil([&] { return c.code != 0; }));
    EXPECT_EQ(c.code, EPROTO);
    EXPECT_FALSE(c.sock->Connected());
}

}  // namespace
