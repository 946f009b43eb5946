#include <gtest/gtest.h>

#include "pop/PopReply.h"

namespace {

using namespace pop;

TEST(PopReply, PlusOkAsAWholeWordIsPositive) {
    EXPECT_EQ(ReplyCode("+OK Logged in.\r\n"), ReplyKind::Positive);
    EXPECT_EQ(ReplyCode("+OK\r\n"), ReplyKind::Positive);
    EXPECT_EQ(ReplyCode("+OK\tx"), ReplyKind::Positive);
    EXPECT_EQ(ReplyCode("-ERR x\r\n"), ReplyKind::Negative);
    EXPECT_EQ(ReplyCode("-ERR"), ReplyKind::Negative);
    EXPECT_EQ(ReplyCode("+OKAY\r\n"), ReplyKind::Neither);
    EXPECT_EQ(ReplyCode(" +OK x"), ReplyKind::Neither);
    EXPECT_EQ(ReplyCode("+ok fine"), ReplyKind::Neither);
    EXPECT_EQ(ReplyCode(""), ReplyKind::Neither);
}

TEST(PopReply, StatGivesCountAndSizeAndKeepsWhatIsNotANumber) {
    std::int32_t count = -5, size = -5;
    ParseStatReply("+OK 3 4567\r\n", count, size);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(size, 4567);
    ParseStatReply("+OK\t7:\t99\r\n", count, size);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(size, 99);
    count = size = -5;
    ParseStatReply("+OK many messages\r\n", count, size);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(size, -5);
    ParseStatReply("+OK 12\r\n", count, size);  // no blank: only the size part exists
    EXPECT_EQ(count, -5);
    EXPECT_EQ(size, 12);
    ParseStatReply("+OK 99999999999 1\r\n", count, size);  // beyond 32 bits
    EXPECT_EQ(count, -5);
    ParseStatReply("", count, size);
}

TEST(PopReply, RetrHeadFindsSizeAndLineEnd) {
    RetrHead h;
    ASSERT_TRUE(ParseRetrHead("+OK 80 octets\r\nFrom: x\r\n", h));
    EXPECT_EQ(h.announced, 80);
    EXPECT_EQ(h.lineEnd, 15u);
    ASSERT_TRUE(ParseRetrHead("+OK message follows\r\nbody", h));
    EXPECT_EQ(h.announced, 0);
    EXPECT_FALSE(ParseRetrHead("-ERR no such message, sorry about that, really\r\n", h));
    EXPECT_FALSE(ParseRetrHead("+OK  80 octets\r\n", h));  // nothing before the blank
    EXPECT_FALSE(ParseRetrHead("+OK 80 octets", h));       // no line end yet
    EXPECT_FALSE(ParseRetrHead("+OK", h));
}

TEST(PopReply, MessageEndNeedsTheWholeTerminator) {
    EXPECT_TRUE(EndsMessage("x\r\n.\r\n"));
    EXPECT_TRUE(EndsMessage("\r\n.\r\n"));
    EXPECT_FALSE(EndsMessage(".\r\n"));
    EXPECT_FALSE(EndsMessage("x\r\n..\r\n."));
}

}  // namespace
