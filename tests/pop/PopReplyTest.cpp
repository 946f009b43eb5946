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
    ASSERT_TRUE(ParseRetrHead("+OK\r\nbody", h));  // servers that announce nothing
    EXPECT_EQ(h.announced, 0);
    EXPECT_EQ(h.lineEnd, 5u);
    EXPECT_FALSE(ParseRetrHead("-ERR no such message, +OK 5 octets\r\n", h));
    EXPECT_FALSE(ParseRetrHead("+OK 80 octets", h));  // no line end yet
    EXPECT_FALSE(ParseRetrHead("junk\r\n+OK 80 octets\r\n", h));
}

TEST(PopReply, ListingsGiveTheSecondWordByMessageNumber) {
    const std::string list = "+OK 3 messages\r\n1 120\r\n3 99999\r\n9 5\r\nbad line\r\n.\r\n";
    EXPECT_EQ(ScanListing(list, 4), (std::vector<std::string>{"", "120", "", "99999"}));
    EXPECT_EQ(ScanListing("-ERR\r\n", 2), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(UsableUid("00000001a7c2f3e9"));
    EXPECT_FALSE(UsableUid(""));
    EXPECT_FALSE(UsableUid(std::string(71, 'x')));
    EXPECT_FALSE(UsableUid("a\x7f"));
}

// The end of a multi-line answer is the same wherever the data is cut: in
// two pieces at every position, and a byte at a time. What follows the end
// belongs to no answer.
TEST(PopReply, AnswerEndIsFoundWhereverThePiecesAreCut) {
    struct Case {
        std::string answer, after;
        bool done;
    };
    const std::vector<Case> cases = {
        {"+OK 2 messages\r\n1 120\r\n2 7\r\n.\r\n", "+OK injected\r\n", true},
        {"+OK\r\n.\r\n", "", true},  // an empty message
        {"-ERR no UIDL\r\n", "1 abc\r\n.\r\n", true},
        {"junk\r\n", ".\r\n", true},  // neither: its first line is all of it
        {"+OK 9\r\n..dot\r\n.x\r\nbare\n.\r\n\r\n.\r\n", "", true},
        {"+OK\r\n1 a\r\n", "", false},
        {"+OK 20 octets\r\nno end\r\n.", "", false},
    };
    for (const Case& c : cases) {
        const std::string all = c.answer + c.after;
        const std::size_t want = c.done ? c.answer.size() : all.size();
        for (std::size_t cut = 0; cut <= all.size(); ++cut) {
            AnswerEnd end;
            std::size_t used = end.Feed(std::string_view(all).substr(0, cut));
            if (!end.done()) used += end.Feed(std::string_view(all).substr(cut));
            EXPECT_EQ(used, want) << c.answer << " cut at " << cut;
            EXPECT_EQ(end.done(), c.done) << c.answer << " cut at " << cut;
            EXPECT_EQ(end.head(), all.substr(0, all.find('\n') + 1));
        }
        AnswerEnd drip;
        std::size_t used = 0;
        for (char ch : all)
            if (!drip.done()) used += drip.Feed(std::string_view(&ch, 1));
        EXPECT_EQ(used, want) << c.answer << " a byte at a time";
    }
}

}  // namespace
