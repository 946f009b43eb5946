// The header utilities' edge behaviour is what their callers are built
// around: a field must begin a line, the name's own blank counts, only a TAB
// continuation is joined, a missing delimiter leaves "before" alone.
#include <gtest/gtest.h>

#include "convert/HeaderUtils.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"

using namespace convert;

TEST(GetHeaderField, TakesFirstOccurrenceThatBeginsALineOrFollowsATab) {
    const std::string h = "X-From: a\r\nFrom: b\r\n";
    EXPECT_EQ(GetHeaderField(h, "From: "), "b");
    EXPECT_EQ(GetHeaderField(h, "X-From: "), "a");
    EXPECT_EQ(GetHeaderField("From: first\r\nFrom: second\r\n", "From:"), "first");
    EXPECT_EQ(GetHeaderField("Received: x\r\n\tFrom: tabbed\r\n", "From: "), "tabbed");
    EXPECT_EQ(GetHeaderField("Subject: From: inner\r\n", "From: "), "");
    EXPECT_EQ(GetHeaderField("\nFrom: lf\r\n", "From: "), "lf");
}

TEST(GetHeaderField, ComparesNamesWithoutCaseButKeepsTheNamesBlank) {
    const std::string h = "SUBJECT: Hello\r\nsubject:Tight\r\n";
    EXPECT_EQ(GetHeaderField(h, "subject: "), "Hello");
    EXPECT_EQ(GetHeaderField("subject:Tight\r\n", "Subject: "), "");
    EXPECT_EQ(GetHeaderField("subject:Tight\r\n", "Subject:"), "Tight");
    EXPECT_EQ(GetHeaderField("Date:    Mon, 1 Jan  \r\n", "Date:"), "Mon, 1 Jan  ");
    EXPECT_EQ(GetHeaderField("Empty:\r\nNext: v\r\n", "Empty:"), "");
    EXPECT_EQ(GetHeaderField("From: a\r\n", ""), "");
}

TEST(GetHeaderField, JoinsOneTabContinuationOnly) {
    EXPECT_EQ(GetHeaderField("Subject: value\r\n\tcontinued\r\nNext: x\r\n", "Subject: "),
              "valuecontinued");
    EXPECT_EQ(GetHeaderField("Subject: value\r\n\t  more\r\n\tthird\r\n", "Subject: "),
              "value  more");
    EXPECT_EQ(GetHeaderField("Subject: value\r\n continued\r\n", "Subject: "), "value");
    // A continuation without its own CR LF is not joined.
    EXPECT_EQ(GetHeaderField("Subject: value\r\n\tdangling", "Subject: "), "value");
}

TEST(GetHeaderField, NeedsACarriageReturnToEndTheValue) {
    EXPECT_EQ(GetHeaderField("To: a\r\nFrom: last", "From: "), "");
    EXPECT_EQ(GetHeaderField("From: lf only\n", "From: "), "");
    EXPECT_EQ(GetHeaderField("From: cr only\rTo: x", "From: "), "cr only");
    EXPECT_EQ(GetHeaderField("", "From: "), "");
}

TEST(SplitAtFirst, SplitsAtFirstDelimiterAndKeepsBeforeWhenAbsent) {
    // A longer delimiter leaves its remaining characters in front of after;
    // without the delimiter "before" keeps what it held.
    const struct {
        const char *in, *delim;
        bool found;
        const char *before, *after;
    } cases[] = {{"a=b=c", "=", true, "a", "b=c"},
                 {"abc", ";", false, "kept", "abc"},
                 {"user::host", "::", true, "user", ":host"},
                 {"=x", "=", true, "", "x"},
                 {"x=", "=", true, "x", ""}};
    for (const auto& c : cases) {
        std::string before = "kept", after = "old";
        EXPECT_EQ(SplitAtFirst(c.in, c.delim, before, after), c.found) << c.in;
        EXPECT_EQ(before, c.before) << c.in;
        EXPECT_EQ(after, c.after) << c.in;
    }
}

TEST(StripEnclosing, DropsOneCharacterAtEachEndAndUpdatesTheArgument) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"fax.tif\"", "fax.tif"}, {"\"", ""}, {"\"open", "open"}, {"close\"", "close"},
        {"\"\"\"x\"\"", "\"\"x\""}, {"", ""}};
    for (auto [s, want] : cases) {
        EXPECT_EQ(StripEnclosing(s, '"'), want);
        EXPECT_EQ(s, want);
    }
}

TEST(GetListValue, ByPositionReturnsItemsUntrimmed) {
    const std::string v = "image/tiff ; name=a.tif; x=1";
    EXPECT_EQ(GetListValue(v, "1", ";", true), "image/tiff ");
    EXPECT_EQ(GetListValue(v, "", ";", true), "image/tiff ");
    EXPECT_EQ(GetListValue(v, "2", ";", true), " name=a.tif");
    EXPECT_EQ(GetListValue(v, "4", ";", true), "");
    EXPECT_EQ(GetListValue(v, "0", ";", true), "");
    EXPECT_EQ(GetListValue(v, "abc", ";", true), "image/tiff ");
    // The delimiter is matched without case.
    EXPECT_EQ(GetListValue("aXbxc", "3", "x", true), "c");
}

TEST(GetListValue, ByKeyKeepsQuotesAndStopsAtEmptyItem) {
    EXPECT_EQ(GetListValue("attachment; filename=\"a.tif\"", "filename", ";", false), "\"a.tif\"");
    EXPECT_EQ(GetListValue("attachment;  FileName = x.tif ", "filename", ";", false), " x.tif ");
    EXPECT_EQ(GetListValue("a=1;;b=2", "b", ";", false), "");
    EXPECT_EQ(GetListValue("a=1;b=2=3", "B", ";", false), "2=3");
    EXPECT_EQ(GetListValue("noequals;b", "b", ";", false), "");
    EXPECT_EQ(GetListValue("", "b", ";", false), "");

    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    int fired = 0;
    loop.After(platform::Millis(0), [&] { ++fired; });
    EXPECT_EQ(GetListValue("a=1;b=2", "b", ";", false, &loop), "2");
    EXPECT_EQ(fired, 1);  // yields while it walks
}

TEST(SplitContentType, GivesTrimmedTypeAndQuotedName) {
    std::string type = "x", name = "y";
    SplitContentType("image/tiff; name=fax.tif", type, name);
    EXPECT_EQ(type, "image/tiff");
    EXPECT_EQ(name, "fax.tif");
    SplitContentType("text/plain", type, name);
    EXPECT_EQ(type, "text/plain");
    EXPECT_EQ(name, "");
    SplitContentType("  application/octet-stream ;  name=\"a b.tif\" ", type, name);
    EXPECT_EQ(type, "application/octet-stream");
    EXPECT_EQ(name, "\"a b.tif\"");
}

TEST(GetNameExtension, TakesEverythingBehindFirstDotAndUnquotesTheName) {
    std::string name = "\"fax.tar.tif\"", ext = "prev";
    EXPECT_TRUE(GetNameExtension(name, ext));
    EXPECT_EQ(ext, "tar.tif");
    EXPECT_EQ(name, "fax.tar.tif");
    name = "\"nodot\"";
    EXPECT_FALSE(GetNameExtension(name, ext));
    EXPECT_EQ(ext, "tar.tif");
    EXPECT_EQ(name, "nodot");
}
