#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "config/RunGlobals.h"
#include "tests/support/Sanitizers.h"
#include "tests/walk/WalkFixture.h"
#include "walk/PrintJournal.h"
#include "walk/WalkState.h"

using namespace walktest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        out.push_back(fs::relative(e.path(), dir));
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(InboxWalk, PrintsFaxFilesItAsPrintedMarksItReadAndCountsIt) {
    WalkRun r;
    Msg& m = r.Add("Fax from 555", "Me <4165551234@VOXAFAX.example>");
    Attach(m, "page.tif", Tiff("one"));
    m.text = "Please see the fax.";
    Header(m);
    r.Walk();

    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("one")});
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"Fax from 555"});
    EXPECT_TRUE(r.Subjects("Inbox").empty());
    EXPECT_FALSE(m.unread);
    EXPECT_EQ(r.run.gVFPrinted, 1);
    EXPECT_EQ(r.run.gVFUnprintable, 0);
    EXPECT_EQ(r.run.gLastError, "");
    const std::string text = r.AllText();
    EXPECT_TRUE(Has(text, "To:\t\t4165551234@voxafax.example"));
    EXPECT_TRUE(Has(text, "From:\t\tsender@example.org"));
    EXPECT_TRUE(Has(text, "Sent:\t\tTue, 5 May 2026 19:40:00 +0000"));
    EXPECT_TRUE(Has(text, "PAGE.TIF\tValid VOXA-FAX Format"));
    EXPECT_TRUE(Has(text, "Subject:\tFax from 555"));
    EXPECT_TRUE(Has(text, "Please see the fax."));
    EXPECT_TRUE(r.Receipts().empty());  // no receipt asked for, none configured
}

TEST(InboxWalk, OneBadAttachmentMakesTheFaxUnprintableAndTheReceiptListsBothFiles) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& m = r.Add("Two files", kSubscriber);
    Attach(m, "broken.tif", "not an image");
    Attach(m, "good.tif", Tiff("good"));
    Header(m);
    r.Walk();

    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("good")});
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), std::vector<std::string>{"Two files"});
    EXPECT_TRUE(m.unread);
    EXPECT_EQ(r.run.gVFPrinted, 0);
    EXPECT_EQ(r.run.gVFUnprintable, 1);
    EXPECT_FALSE(fs::exists(r.dir / "temp/0001.TIF"));  // a rejected file is not kept

    auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].rfind("To:Sender <sender@example.org>\r\n", 0), 0u);
    EXPECT_TRUE(Has(receipts[0], "Failed"));
    EXPECT_TRUE(Has(receipts[0], "Unprintable File(s)"));
    EXPECT_TRUE(Has(receipts[0], "GOOD.TIF\tValid VOXA-FAX Format"));
    EXPECT_TRUE(Has(receipts[0], "BROKEN.TIF\tInvalid File Format"));
    EXPECT_TRUE(Has(receipts[0], "GOOD.TIF\tFile Processed"));
}

TEST(InboxWalk, ReceiptsAndCapabilityRequestsAreFiledAwayReportsAndStrangersStay) {
    WalkRun r;
    Msg& receipt = r.Add("Receipt", kSubscriber);
    Header(receipt, "Content-Type: multipart/report; report-type=disposition-notification;\r\n");
    Attach(receipt, "x.tif", Tiff("receipt"));
    Msg& caps = r.Add("Caps", kSubscriber);
    Header(caps,
           "Disposition-Notification-To: gw@fax.example.org\r\n"
           "Disposition-Notification-Options: G3Fax-capability-request=required\r\n");
    Msg& report = r.Add("Report", kSubscriber);
    Header(report, "Content-Type: multipart/report; report-type=delivery-status\r\n");
    Msg& stranger = r.Add("Hello", "someone@else.example");
    Attach(stranger, "x.tif", Tiff("stranger"));
    Header(stranger);
    r.Walk();

    EXPECT_EQ(r.Subjects("Deleted Items"), (std::vector<std::string>{"Receipt", "Caps"}));
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"Report", "Hello"}));
    EXPECT_TRUE(r.imaging.printedContents.empty());
    EXPECT_TRUE(r.printers.documents.empty());
    EXPECT_EQ(r.run.gVFPrinted + r.run.gVFUnprintable, 0);
    // The capability request is answered even without Confirm_Receipt.
    EXPECT_EQ(r.mailer->state().gSMTPRecipAddr, "gw@fax.example.org");
    auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_TRUE(Has(receipts[0], "gw@fax.example.org"));
}

TEST(InboxWalk, MemberStatusAndExtensionsDecideWhatIsPrintable) {
    auto walk = [](const std::string& status, const std::string& name, const std::string& written) {
        WalkRun r;
        r.cfg.gMemberStatus = status;
        Msg& m = r.Add("F", kSubscriber);
        Attach(m, name, Tiff(name));
        Header(m);
        r.Walk();
        SCOPED_TRACE(status + " " + name);
        if (written.empty())
            EXPECT_TRUE(fs::is_empty(r.dir / "temp"));
        else
            EXPECT_TRUE(fs::exists(r.dir / ("temp/" + written)));
        return r.run.gVFPrinted == 1;
    };
    EXPECT_FALSE(walk("", "photo.jpg", ""));
    EXPECT_FALSE(walk("0", "photo.jpg", ""));
    EXPECT_TRUE(walk("1", "photo.jpg", "0001.JPG"));
    EXPECT_TRUE(walk("1", "photo.jpeg", "0001.JPG"));
    EXPECT_TRUE(walk("", "report.TIFF", "0001.TIF"));
    EXPECT_TRUE(walk("", "\"quoted.tif\"", "0001.TIF"));
    EXPECT_FALSE(walk("1", "fax.page1.tif", ""));
    EXPECT_FALSE(walk("1", "letter.doc", ""));
}

TEST(InboxWalk, ANameWithoutDotKeepsThePreviousExtensionAndVcardsAndSpiffAreNeitherGoodNorBad) {
    WalkRun r;
    Msg& m = r.Add("F", kSubscriber);
    m.text = "See attached.";
    Attach(m, "a.tif", Tiff("a"));
    Attach(m, "vcard", "BEGIN:VCARD\r\nFN:Ann Example\r\nEND:VCARD\r\n");
    Attach(m, "spiff.dat", "whatever");
    Attach(m, "nodot", Tiff("b"));
    Header(m);
    r.Walk();
    EXPECT_TRUE(fs::exists(r.dir / "temp/0004.TIF"));
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("a"), Tiff("b")}));
    EXPECT_EQ(r.run.gVFPrinted, 1);
    EXPECT_TRUE(Has(r.AllText(), "FN:Ann Example"));
}

TEST(InboxWalk, AlternatePartsPrintOnlyTheLastTiff) {
    WalkRun r;
    Msg& m = r.Add("Alt", kSubscriber);
    m.text = "Alternatives";
    Attach(m, "body.txt", "THE TEXT VERSION");
    Attach(m, "first.tif", Tiff("first"));
    Attach(m, "second.tif", Tiff("second"));
    Header(m, "Content-Type: multipart/alternate; boundary=\"b\"\r\n");
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("second")});
    const std::string text = r.AllText();
    EXPECT_FALSE(Has(text, "THE TEXT VERSION"));
    EXPECT_TRUE(Has(text, "SECOND.TIF\tValid VOXA-FAX Format"));
    EXPECT_FALSE(Has(text, "FIRST.TIF"));
    EXPECT_EQ(r.run.gVFPrinted, 1);
}

TEST(InboxWalk, TextAttachmentsPrintWithPageHeadersAndUnreadableOnesFail) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& m = r.Add("Text", kSubscriber);
    Attach(m, "note.txt", "A NOTE FROM THE SENDER\r\n");
    Header(m, "Disposition-Notification-To: dn@example.org\r\n");
    r.Walk();
    EXPECT_TRUE(Has(r.AllText(), "A NOTE FROM THE SENDER"));
    EXPECT_TRUE(Has(r.AllText(), "Page No. 1"));
    EXPECT_EQ(r.run.gVFPrinted, 1);
    // Printed, but the sender asked: a "Processed" receipt to the DN address.
    EXPECT_EQ(r.mailer->state().gSMTPRecipAddr, "dn@example.org");
    ASSERT_EQ(r.Receipts().size(), 1u);
    EXPECT_TRUE(Has(r.Receipts()[0], "Processed"));

    // The files of a fax are written over those of the fax before: one
    // without content must not print what a fax before left there, in this
    // walk or an earlier one; a file that no later fax of the walk writes
    // again goes.
    WalkRun u;
    for (int walk = 0; walk < 2; ++walk) {
        Msg& f = u.Add("Before", kSubscriber);
        Attach(f, "note.txt", "THE NOTE BEFORE\r\n");
        Attach(f, "fax.tif", Tiff("before"));
        Header(f);
        if (walk == 1) u.Walk();
        Msg& n = u.Add("Text", kSubscriber);
        Attach(n, "note.txt", "x").attachments.back().hasContent = false;
        Header(n);
        u.Walk();
        if (walk == 0) {
            EXPECT_TRUE(fs::is_empty(u.dir / "temp"));
        }
    }
    EXPECT_EQ(u.run.gVFPrinted, 2);
    EXPECT_EQ(u.run.gVFUnprintable, 2);
    EXPECT_EQ(u.imaging.printedContents.size(), 2u);
    const std::string all = u.AllText();
    int notes = 0;
    for (auto at = all.find("THE NOTE BEFORE"); at != std::string::npos;
         at = all.find("THE NOTE BEFORE", at + 1))
        ++notes;
    EXPECT_EQ(notes, 2);
}

TEST(InboxWalk, BlankMessagesPrintAPlaceholderPageInEveryHeaderStyle) {
    for (int style = 0; style < 4; ++style) {
        WalkRun r;
        r.cfg.gflgPrintSimpleHeader = style & 1;
        r.cfg.gflgPrintFullHeader = style & 2;
        Msg& m = r.Add("Internet Wonder FAX", kSubscriber);
        m.text = "\t\r\n\f";
        Header(m);
        r.Walk();
        SCOPED_TRACE(style);
        const std::string text = r.AllText();
        EXPECT_TRUE(
            Has(text, style == 0 ? "No Printable Content" : "No Printable PlainText Message"));
        EXPECT_EQ(Has(text, "Subject:\tfaxPier100 Fax Message"), style != 2);
        EXPECT_EQ(Has(text, "Message-Id: <fax-1@example.org>"), style >= 2);  // full header block
        EXPECT_EQ(r.run.gVFPrinted, 1);
    }
}

TEST(InboxWalk, PopSavedMessagesAreSplitIntoHeaderAndText) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& m = r.Add("Saved", kSubscriber);
    m.text =
        "+OK 2048 octets\r\nFrom: pop@example.org\r\nDate: Mon, 4 May 2026 08:00:00 +0000\r\n"
        "Subject: Saved\r\n\r\nBody line\r\n";
    m.timeSent = "";
    Attach(m, "fax.tif;", Tiff("pop"));
    Attach(m, "junk.doc;", "junk");
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("pop")});
    const std::string text = r.AllText();
    EXPECT_TRUE(Has(text, "From:\t\tpop@example.org"));
    EXPECT_TRUE(Has(text, "FAX.TIF\tValid VOXA-FAX Format"));
    EXPECT_TRUE(Has(text, "JUNK.DOC;\tInvalid File Format"));  // the full stored name
    EXPECT_EQ(r.mailer->state().gSMTPRecipAddr, "pop@example.org");
}

TEST(InboxWalk, PrintTestMovesNothing) {
    WalkRun r;
    r.run.gflgPrintTest = true;
    Attach(r.Add("A", kSubscriber), "a.tif", Tiff("a"));
    Attach(r.Add("B", kSubscriber), "b.tif", Tiff("b"));
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents.size(), 2u);
    EXPECT_EQ(r.run.gVFPrinted, 2);
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B"}));
}

TEST(InboxWalk, FatalPrinterErrorEndsTheWalkButEarlierMessagesAreFiled) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    for (const char* s : {"A", "B", "C", "D"}) {
        Msg& m = r.Add(s, kSubscriber);
        Attach(m, "p.tif", Tiff(s));
        Header(m, "Disposition-Notification-To: gw@fax.example.org\r\n");
    }
    // The printer goes away after two documents.
    r.imaging.failAfter = 2;
    r.Walk();
    EXPECT_EQ(r.run.gLastError, "Print Error : Fatal Printer Error");
    EXPECT_EQ(r.run.failure, config::RunFailure::Printing);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"C", "D"}));
    EXPECT_EQ(r.run.gVFPrinted, 2);
    EXPECT_EQ(r.run.gVFUnprintable, 0);
    EXPECT_EQ(r.Receipts().size(), 2u);  // C is not answered
    EXPECT_EQ(r.Logged("E|printer \"Fake Printer\": Printer Error : the printer has gone away; "
                       "printing stops, fax from sender@example.org \"C\""),
              1);
}

// A run killed after a fax was printed, before it was filed: the next run
// files it without printing it again, and answers it only if the killed
// run had not.
TEST(InboxWalk, AFaxMarkedPrintedIsFiledWithoutPrintingAndAnsweredAtMostOnce) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& printed = r.Add("Printed, not answered", kSubscriber);
    Attach(printed, "p.tif", Tiff("1"));
    Header(printed, "Disposition-Notification-To: gw@fax.example.org\r\n");
    printed.marks.insert(platform::MessageMark::Printed);
    Msg& both = r.Add("Printed and answered", kSubscriber);
    Attach(both, "p.tif", Tiff("2"));
    Header(both, "Disposition-Notification-To: gw@fax.example.org\r\n");
    both.marks = {platform::MessageMark::Printed, platform::MessageMark::Answered};
    Msg& fresh = r.Add("Fresh", kSubscriber);
    Attach(fresh, "p.tif", Tiff("3"));
    Header(fresh, "Disposition-Notification-To: gw@fax.example.org\r\n");
    // No receipt due: only the journal knows it was printed.
    Msg& counted = r.Add("Counted", kSubscriber);
    Attach(counted, "p.tif", Tiff("4"));
    Header(counted);
    {
        walk::PrintJournal journal(r.dir / "printing", false);
        ASSERT_TRUE(journal.Begin(counted.id));
        ASSERT_TRUE(journal.Printed(counted.id, 0, 1));
    }
    r.Walk();

    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("3")});
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"),
              (std::vector<std::string>{"Printed, not answered", "Printed and answered", "Fresh",
                                        "Counted"}));
    auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_TRUE(Has(receipts[0] + receipts[1], "Printed, not answered"));
    EXPECT_TRUE(Has(receipts[0] + receipts[1], "Fresh"));
    // The fresh fax was marked before it was filed.
    EXPECT_EQ(fresh.marks, (std::set<platform::MessageMark>{platform::MessageMark::Printed,
                                                            platform::MessageMark::Answered}));
    EXPECT_EQ(r.Logged("I|was printed by a run that ended before filing it"), 3);
    EXPECT_EQ(r.Logged("I|printed fax from sender@example.org \"Fresh\", 1 page -> Fake Printer"),
              1);
    EXPECT_EQ(r.Logged("I|filed fax from sender@example.org \"Fresh\" in VOXA-FAXes/Printed"), 1);
}

// A fax of several documents whose printer went away in the middle: the
// next run prints only what had not gone out yet, also the document that went
// out just before a kill that left no time to count it.
TEST(InboxWalk, AFaxCutOffInTheMiddleResumesAfterTheLastDocumentPrinted) {
    WalkRun r;
    Msg& m = r.Add("Four files", kSubscriber);
    m.text = "Cover letter.";
    for (const char* f : {"a", "b", "c", "d"}) Attach(m, std::string(f) + ".tif", Tiff(f));
    Header(m);
    r.imaging.failAfter = 1;  // the header page and a.tif go out, then the printer is gone
    r.Walk();
    EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"Four files"});
    EXPECT_TRUE(m.marks.empty());

    r.imaging.failAfter = 2;  // b.tif goes out, then the run is "killed" before it notes it
    r.Walk();
    std::string journal = testsupport::ReadFile(r.dir / "printing");
    const std::size_t last = journal.rfind('\n', journal.size() - 2);
    ASSERT_EQ(journal.substr(last + 17, 5), " P 2 ");
    testsupport::WriteFile(r.dir / "printing", journal.substr(0, last + 1));

    r.imaging.failAfter = -1;
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents,
              (std::vector<std::string>{Tiff("a"), Tiff("b"), Tiff("c"), Tiff("d")}));
    int headerPages = 0;
    for (const auto& d : r.printers.documents) headerPages += !d.whole;
    EXPECT_EQ(headerPages, 1);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"Four files"});
    // Every document was handed over under a key naming the fax and its place.
    for (const auto& d : r.printers.documents) EXPECT_FALSE(d.key.empty());
    EXPECT_NE(r.printers.documents[0].key, r.printers.documents[1].key);
}

// Image bombs and parts the conversion left out are reported as what they
// are, on the header page and in the receipt; the walk goes on.
TEST(InboxWalk, ImageBombsAndLeftOutPartsAreReportedAsWhatTheyAre) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& bomb = r.Add("Bomb", kSubscriber);
    bomb.text = "Three pages.";
    Attach(bomb, "bomb.tif", Tiff("BOMB"));
    Attach(bomb, "long.tif", Tiff("LONG"));
    Attach(bomb, "ok.tif", Tiff("ok"));
    Header(bomb);
    Msg& cut = r.Add("Cut", kSubscriber);
    cut.text = "Many parts.";
    Attach(cut, "p.tif", Tiff("p"));
    cut.note = "1200 parts; the last 200 were left out";
    Header(cut);
    Attach(r.Add("After", kSubscriber), "q.tif", Tiff("q"));
    r.Walk();

    EXPECT_EQ(r.run.failure, config::RunFailure::None);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), (std::vector<std::string>{"Bomb", "Cut"}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"After"});
    auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_TRUE(Has(receipts[0], "BOMB.TIF\tImage too large\r\n"));
    EXPECT_TRUE(Has(receipts[0], "LONG.TIF\tToo many pages\r\n"));
    EXPECT_TRUE(Has(receipts[0], "OK.TIF\tFile Processed"));
    EXPECT_FALSE(Has(receipts[0], "Printer Error"));
    EXPECT_TRUE(
        Has(receipts[1], "MESSAGE\tNot all parts stored: 1200 parts; the last 200 were left out"));
    const std::string text = r.AllText();
    EXPECT_TRUE(Has(text, "BOMB.TIF\tImage too large"));
    EXPECT_TRUE(Has(text, "Not all parts stored: 1200 parts"));
    EXPECT_EQ(r.Logged("W|fax from sender@example.org \"Bomb\": attachment BOMB.TIF not printed: "
                       "Image too large: "),
              1);
}

TEST(InboxWalk, RegularFaxesAreFiledUnderRegularFaxes) {
    for (bool errorInfo : {false, true}) {
        WalkRun r;
        r.run.gflgRegularPass = true;
        r.cfg.gflgPrintErrorInfo = errorInfo;
        Msg& good = r.Add("Good", "anyone");
        good.type = "IPM.Note.FAX";
        Attach(good, "fax.tif", Tiff("regular"));
        Msg& bad = r.Add("Bad", "anyone");
        bad.type = "IPM.Note.Fax";
        Attach(bad, "fax.tif", "garbage");
        Attach(r.Add("Mail", kSubscriber), "p.tif", Tiff("mail"));
        Msg& empty = r.Add("Empty", "anyone");
        empty.type = "fax";
        r.Walk();
        SCOPED_TRACE(errorInfo);
        EXPECT_EQ(r.Subjects("Regular Faxes/Printed"), std::vector<std::string>{"Good"});
        EXPECT_EQ(r.Subjects("Regular Faxes/Unprintable"),
                  (std::vector<std::string>{"Bad", "Empty"}));
        EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"Mail"});  // not a fax: skipped
        // An attachment-less fax must not print the image of the fax before it.
        EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("regular")});
        EXPECT_EQ(r.run.gRegPrinted, 1);
        EXPECT_EQ(r.run.gRegUnprintable, 2);
        EXPECT_EQ(Has(r.AllText(), "VOXA-FAX Print was unable to print this Regular Fax!"),
                  errorInfo);
        EXPECT_TRUE(r.Receipts().empty());
    }
}

TEST(InboxWalk, RegularFaxInTheFaxPassFindsItsFoldersToo) {
    WalkRun r;
    Msg& m = r.Add("Gateway fax", "anyone");
    m.type = "IPM.Note.Fax";
    Attach(m, "g.tif", Tiff("gw"));
    r.Walk();
    EXPECT_EQ(r.Subjects("Regular Faxes/Printed"), std::vector<std::string>{"Gateway fax"});
    EXPECT_EQ(r.run.gRegPrinted, 1);
}

TEST(InboxWalk, HostileAttachmentNamesWriteNothingOutsideTheTempFolder) {
    WalkRun r;
    Msg& m = r.Add("Hostile", kSubscriber);
    Attach(m, "../../x.tif", Tiff("1"));
    Attach(m, "/etc/x.tif", Tiff("2"));
    Attach(m, std::string("ctl\x01\x1b[2J\n.tif"), Tiff("3"));
    Attach(m, std::string(300, 'a') + ".tif", Tiff("4"));
    Attach(m, "x./../../evil", Tiff("5"));
    Attach(m, "vcard/../../../owned", "BEGIN:VCARD");
    Header(m);
    const auto before = Files(r.dir.path());
    r.Walk();
    auto after = Files(r.dir.path());
    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    for (const auto& f : added)
        EXPECT_TRUE(f.rfind("temp/", 0) == 0 || f.rfind("Out/", 0) == 0 || f == "printing") << f;
    EXPECT_TRUE(fs::exists(r.dir / "temp/0002.TIF"));
    EXPECT_TRUE(fs::exists(r.dir / "temp/0004.TIF"));
    EXPECT_EQ(r.run.gVFUnprintable,
              1);  // "../../x.tif" and "x./../../evil" are not printable types
}

TEST(InboxWalk, ManyAttachmentsAndAHugeOneStayInBoundedMemory) {
    VOXAFAX_SKIP_MEMORY_BOUND_UNDER_ASAN();
    WalkRun r;
    Msg& many = r.Add("Many", kSubscriber);
    for (int i = 1; i <= 500; ++i)
        Attach(many, "p" + std::to_string(i) + ".tif", Tiff(std::to_string(i)));
    Header(many);

    // The store holds the contents already; the walk must not copy them.
    std::string big = Tiff("big");
    big.resize(50u << 20, 'x');
    Msg& huge = r.Add("Huge", kSubscriber);
    Attach(huge, "huge.tif", std::move(big));
    Header(huge);
    std::string longText = "A TEXT FAX\r\n";
    longText.resize(17u << 20, ' ');
    Msg& text = r.Add("Long text", kSubscriber);
    Attach(text, "long.txt", std::move(longText));
    Header(text);

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const long peakBefore = ru.ru_maxrss;
    r.Walk();
    getrusage(RUSAGE_SELF, &ru);
    EXPECT_LT(ru.ru_maxrss - peakBefore, 20 * 1024) << "peak grew by KiB";

    EXPECT_EQ(r.run.gVFPrinted, 2);
    EXPECT_EQ(r.imaging.printedContents.size(), 501u);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"Many", "Huge"}));
    // A text too long to print from memory is judged unreadable.
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), std::vector<std::string>{"Long text"});
    EXPECT_FALSE(Has(r.AllText(), "A TEXT FAX"));
}

TEST(InboxWalk, ProcessedStampUsesATwelveHourClock) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(walk::ProcessedDateText(1796501396), "12/05/2026 8:09:56 PM");
    EXPECT_EQ(walk::ProcessedDateText(1796428800), "12/05/2026 12:00:00 AM");
    EXPECT_EQ(walk::ProcessedDateText(1796472000), "12/05/2026 12:00:00 PM");
}

TEST(InboxWalk, FullModeRequestsAreReadInTheirOrder) {
    WalkRun r;
    // Fax-To with the exact option and no Content-Type: a capability request.
    Msg& faxTo = r.Add("FaxTo caps", kSubscriber);
    Header(faxTo, "Fax-To: 4165551234\r\nFax-Options: G3Fax-capability-request=required\r\n");
    // The option compared exactly: another spelling is an ordinary fax.
    Msg& spelled = r.Add("FaxTo spelled", kSubscriber);
    Header(spelled, "Fax-To: 4165551234\r\nFax-Options: g3fax-capability-request=required\r\n");
    Attach(spelled, "s.tif", Tiff("spelled"));
    // A receipt address without the full-mode options falls through to the
    // report test: a multipart/report stays.
    Msg& report = r.Add("Report with DN", kSubscriber);
    Header(report,
           "Content-Type: multipart/report; boundary=x\r\n"
           "Disposition-Notification-To: dn@localhost\r\n"
           "Disposition-Notification-Options: print=optional\r\n");
    // The report request with a Content-Type is a fax in full mode.
    Msg& full = r.Add("Full mode fax", kSubscriber);
    Header(full,
           "Content-Type: multipart/mixed; boundary=x\r\n"
           "Disposition-Notification-To: dn@localhost\r\n"
           "Disposition-Notification-Options: g3fax-REPORT-request=required\r\n");
    Attach(full, "f.tif", Tiff("full"));
    r.Walk();

    EXPECT_EQ(r.Subjects("Deleted Items"), std::vector<std::string>{"FaxTo caps"});
    EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"Report with DN"});
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"),
              (std::vector<std::string>{"FaxTo spelled", "Full mode fax"}));
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("spelled"), Tiff("full")}));
    // Only the capability request was answered (Confirm_Receipt is off).
    // With Fax-To alone it names no address: its receipt is refused, not
    // queued for ever.
    EXPECT_TRUE(r.Receipts().empty());
    ASSERT_EQ(r.log.Problems().size(), 1u);
    EXPECT_NE(r.log.Problems()[0].find("receipt for \"FaxTo caps\" not sent"), std::string::npos)
        << r.log.Problems()[0];
}

TEST(InboxWalk, AFailingStoreOperationCostsOnlyItsOwnStep) {
    WalkRun r;
    Attach(r.Add("Unreadable", kSubscriber), "a.tif", Tiff("a"));
    Attach(r.Add("Unmovable", kSubscriber), "b.tif", Tiff("b"));
    Attach(r.Add("Fine", kSubscriber), "c.tif", Tiff("c"));
    r.store.FailNext("Load");  // the first message cannot be read: skipped
    r.store.FailNext("Move");  // the first move fails: left in the inbox
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("b"), Tiff("c")}));
    EXPECT_EQ(r.run.gVFPrinted, 2);
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"Unreadable", "Unmovable"}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"Fine"});
}
