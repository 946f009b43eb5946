// The SMTP client's use of the socket layer on a fake socket: exact control
// over accepted byte counts and arrivals.
#include <gtest/gtest.h>

#include "mailout/SMTPprocedures.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/mailout/MailoutFixture.h"

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

}  // namespace
}  // namespace mailtest
