// The plain-text page printer against a recording printer: pagination, line
// breaking, form feeds, the page header, the test flag and hostile settings.
#include <gtest/gtest.h>

#include "print/TextPrinter.h"
#include "tests/print/PrintHarness.h"

using printtest::Harness;

namespace {

std::string Lines(int count, int width, const std::string& eol) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i + 1);
        text += n + std::string(static_cast<std::size_t>(width) - n.size(), 'x') + eol;
    }
    return text;
}

// Body lines of a recorded sheet: lines the printer set after the header.
int BodyLines(const std::vector<std::string>& sheet, bool header) {
    int n = 0;
    for (std::size_t i = header ? 2 : 0; i < sheet.size(); ++i)
        if (sheet[i].size() > 1 && sheet[i][0] == '\t' && sheet[i][1] != '\t') ++n;
    return n;
}

struct Printed {
    Harness h;
    std::int32_t pageNo = 0;
    bool ok = false;
    Printed() { h.options.textPages = true; }
    void Print(std::string text, bool header = false) {
        ok = print::TextOnLocalPrinter(h.Text(), text, header, "01/02/2026 10:00:00 AM",
                                       "01/02/2026 10:01:00 AM", "fax@example.org", pageNo);
    }
    const platform::FakeDocument& Doc() { return h.fakePrinters.documents.at(0); }
};

}  // namespace

TEST(TextOnLocalPrinter, PaginatesCrLfTextWithNumberedHeaders) {
    Printed p;
    p.Print(Lines(200, 50, "\r\n"), true);
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.pageNo, 4);
    ASSERT_EQ(p.h.fakePrinters.documents.size(), 1u);
    const auto& doc = p.Doc();
    EXPECT_TRUE(doc.ended);
    ASSERT_EQ(doc.pages.size(), 3u);
    const int expected[] = {80, 80, 40};
    for (int i = 0; i < 3; ++i) {
        const auto& sheet = doc.pages[static_cast<std::size_t>(i)];
        EXPECT_EQ(sheet.at(0),
                  "S 01/02/2026 10:00:00 AM  R  01/02/2026 10:01:00 AM    "
                  "fax@example.org   Page No. " +
                      std::to_string(i + 1));
        EXPECT_EQ(sheet.at(1), "");
        EXPECT_EQ(BodyLines(sheet, true), expected[i]) << "sheet " << i + 1;
    }
    EXPECT_EQ(doc.pages[0][2], "\t1" + std::string(49, 'x'));
    EXPECT_EQ(doc.pages[2][2], "\t161" + std::string(47, 'x'));
    // The last page is filled up with empty entries (TABs without line ends).
    EXPECT_EQ(doc.pages[2].back(), std::string(40, '\t'));
    ASSERT_EQ(doc.fontSizes.size(), 1u);
    EXPECT_EQ(doc.fontSizes[0], 10);
    // The surface fits the font to a TAB and 110 characters, and to 80 lines
    // under a header of two.
    EXPECT_EQ(doc.columns, 8 + 110);
    EXPECT_EQ(doc.lines, 82);
}

TEST(TextOnLocalPrinter, LfOnlyTextIsPaginatedLikeCrLfText) {
    Printed p;
    p.Print(Lines(200, 50, "\n"));
    ASSERT_EQ(p.h.fakePrinters.documents.size(), 1u);
    ASSERT_EQ(p.Doc().pages.size(), 3u);
    EXPECT_EQ(BodyLines(p.Doc().pages[0], false), 80);
    EXPECT_EQ(BodyLines(p.Doc().pages[2], false), 40);
    EXPECT_EQ(p.pageNo, 4);
}

// Held back, a text is paginated and counted, but not even its page headers
// reach the printer: they would come out at the end of the run as a sheet
// of header lines alone.
TEST(TextOnLocalPrinter, HeldBackTextReachesNoPrinterNotEvenItsHeaders) {
    Printed p;
    p.h.options.textPages = false;  // the run-wide test flag is set at start
    p.Print(Lines(200, 50, "\r\n"), true);
    EXPECT_EQ(p.pageNo, 4);
    EXPECT_EQ(p.h.fakePrinters.lineCalls, 0);
    EXPECT_TRUE(p.h.fakePrinters.documents.empty());
}

TEST(TextOnLocalPrinter, FormFeedAtLineStartEndsThePageAndIsNotPrinted) {
    Printed p;
    p.Print("one\r\n\ftwo\fhalf\r\nthree\r\n");
    ASSERT_EQ(p.Doc().pages.size(), 2u);
    EXPECT_EQ(p.Doc().pages[0][0], "\tone");
    EXPECT_EQ(p.Doc().pages[1][0], "\ttwo\fhalf");  // mid-line form feed is text
    EXPECT_EQ(p.Doc().pages[1][1], "\tthree");
    EXPECT_EQ(p.pageNo, 3);
}

TEST(TextOnLocalPrinter, BreaksOverlongLinesAtTheLastBlankOrElseAtTheWidth) {
    Printed fits;
    fits.Print(std::string(100, 'a') + " " + std::string(8, 'b') + "\r\n");  // 109 visible
    EXPECT_EQ(fits.Doc().pages[0][0].size(), 110u);

    Printed broken;
    broken.Print(std::string(100, 'a') + " " + std::string(9, 'b') + "\r\n");  // 110 visible
    EXPECT_EQ(broken.Doc().pages[0][0], "\t" + std::string(100, 'a') + " ");
    EXPECT_EQ(broken.Doc().pages[0][1], "\t" + std::string(9, 'b'));

    Printed noBlank;
    noBlank.Print(std::string(300, 'z') + "\r\n");
    EXPECT_EQ(noBlank.Doc().pages[0][0], "\t" + std::string(110, 'z'));
    EXPECT_EQ(noBlank.Doc().pages[0][1], "\t" + std::string(110, 'z'));
    EXPECT_EQ(noBlank.Doc().pages[0][2], "\t" + std::string(80, 'z'));
}

TEST(TextOnLocalPrinter, TextWithoutLineEndAndBlankTextPrintOnePage) {
    Printed p;
    p.Print("just one line");
    ASSERT_EQ(p.Doc().pages.size(), 1u);
    EXPECT_EQ(p.Doc().pages[0][0], "\tjust one line");
    EXPECT_EQ(p.pageNo, 2);

    Printed blank;
    blank.Print("   \r\n\r\n  \r\n");
    EXPECT_EQ(blank.Doc().pages.size(), 1u);
    EXPECT_EQ(blank.pageNo, 2);
}

TEST(TextOnLocalPrinter, ReadsItsKeysAtEveryCallAndEndsWhateverTheyHold) {
    Printed p;
    p.h.SetKey("chrs_per_line", "20");
    p.h.SetKey("lines_per_page", "5");
    p.h.SetKey("font_size", "7.5");
    p.Print(Lines(12, 10, "\r\n"));
    EXPECT_EQ(p.pageNo, 4);  // 5 + 5 + 2
    EXPECT_EQ(p.Doc().fontSizes[0], 7.5);

    // Hostile settings: every input must still end, and the work it makes is
    // bounded by the text: no sheet goes out without a byte of it.
    const std::string first = "a b c\r\nlonger line here\nx\f\r\n" + std::string(50, 'q');
    const std::string second = "lf only\nsecond line \xe9t\xe9\n\n";  // LF line ends, no blank
    const char* settings[][3] = {
        {"0", "0", "x"}, {"-5", "-3", "0"}, {"abc", "2147483647", "1e9"}, {"1", "1", "10"}};
    for (auto& s : settings) {
        Printed q;
        q.h.SetKey("chrs_per_line", s[0]);
        q.h.SetKey("lines_per_page", s[1]);
        q.h.SetKey("font_size", s[2]);
        q.Print(first, true);
        EXPECT_TRUE(q.ok);
        EXPECT_GE(q.pageNo, 2);
        q.Print(second);
        EXPECT_TRUE(q.ok);
        EXPECT_GE(q.pageNo, 2);
        int sheets = 0;
        for (const auto& d : q.h.fakePrinters.documents) sheets += d.SheetCount();
        EXPECT_LE(sheets, static_cast<int>(first.size() + second.size())) << s[0] << "/" << s[1];
    }
}

// A printer's quirks are skipped; a printer that is gone (or a folder
// printer that cannot write) makes the text unprinted, which the walk
// treats as a fatal printer error.
TEST(TextOnLocalPrinter, PrinterFailuresAreSkippedUnlessThePrinterIsGone) {
    Printed quirk;
    quirk.h.fakePrinters.failText = platform::FakePrinters::ProcessingError();
    std::string text = Lines(100, 20, "\r\n");
    quirk.Print(text, true);
    EXPECT_TRUE(quirk.ok);
    EXPECT_EQ(quirk.pageNo, 3);

    Printed gone;
    gone.h.fakePrinters.failText = platform::FakePrinters::PrinterError();
    text = Lines(100, 20, "\r\n");
    gone.Print(text, true);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.pageNo, 3);
}
