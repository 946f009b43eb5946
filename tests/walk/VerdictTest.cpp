// A fax keeps one verdict whatever ends a run between printing it and filing
// it, and the walk stops rather than judge a fax by a failure of the disk or
// the printer.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "config/RunGlobals.h"
#include "tests/walk/WalkFixture.h"

using namespace walktest;
namespace fs = std::filesystem;

namespace {

platform::Status DiskFull(const std::string& what) {
    platform::Status st =
        platform::Status::Error(platform::Fail::Io, what + ": No space left on device");
    st.error = ENOSPC;
    return st;
}

const std::string kAsksReceipt = "Disposition-Notification-To: gw@fax.example.org\r\n";

}  // namespace

// The store takes no move (its folders not writable, out of inodes): each fax
// is printed once and answered once, the failure is told, and a later run
// files each under the verdict it had, without printing it again.
TEST(Verdict, AFaxThatCannotBeFiledIsFiledLaterUnderItsVerdict) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& a = r.Add("A", kSubscriber);
    Attach(a, "a.tif", Tiff("a"));
    Header(a);
    Msg& b = r.Add("B", kSubscriber);
    Attach(b, "b1.tif", Tiff("b1"));
    Attach(b, "b2.tif", Tiff("b2 NOPRINT"));
    Header(b, kAsksReceipt);
    Msg& c = r.Add("C", kSubscriber);
    Attach(c, "c.tif", Tiff("c"));
    Header(c, kAsksReceipt);
    r.store.FailAlways("Move", platform::Status::Error(platform::Fail::Io, "Permission denied"));
    r.Walk();

    EXPECT_EQ(r.imaging.printedContents,
              (std::vector<std::string>{Tiff("a"), Tiff("b1"), Tiff("c")}));
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(r.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.run.gLastError.rfind("Storage Error : cannot file fax from sender@example.org "
                                     "\"A\" in VOXA-FAXes/Printed: Permission denied",
                                     0),
              0u)
        << r.run.gLastError;
    EXPECT_LE(config::LastErrorValue(r.run).size(), 200u);
    ASSERT_EQ(r.Receipts().size(), 2u);

    r.store.ClearFailures();
    for (int run = 0; run < 2; ++run) r.Walk();
    EXPECT_EQ(r.imaging.printedContents.size(), 3u);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), std::vector<std::string>{"B"});
    const auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_TRUE(Has(receipts[0], "Failed"));
    EXPECT_TRUE(Has(receipts[0], "B2.TIF\tNot Printed, Possible Printer Error"));
    EXPECT_FALSE(b.marks.count(platform::MessageMark::Printed));
    EXPECT_EQ(r.Logged("I|printed fax from sender@example.org \"B\""), 0);
    EXPECT_EQ(r.Logged("W|fax from sender@example.org \"B\" is unprintable; 1 page of it printed"),
              1);
    EXPECT_EQ(r.Logged("I|fax from sender@example.org \"B\" was found unprintable by a run that "
                       "ended before filing it"),
              1);
}

// A run cut off after a document failed and before the fax was judged: the
// next run prints only what had not gone out, keeps the failure, files the
// fax unprintable and tells its sender.
TEST(Verdict, AFailedDocumentStaysFailedWhenTheFaxIsResumed) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& m = r.Add("Three files", kSubscriber);
    Attach(m, "a.tif", Tiff("a"));
    Attach(m, "b.tif", Tiff("b NOPRINT"));
    Attach(m, "c.tif", Tiff("c"));
    Header(m, kAsksReceipt);
    r.imaging.failAfter = 1;  // a.tif goes out, b.tif fails, then the printer is gone
    r.Walk();
    EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"Three files"});
    EXPECT_TRUE(r.Receipts().empty());
    EXPECT_EQ(r.run.gVFPrinted + r.run.gVFUnprintable, 0);

    r.imaging.failAfter = -1;
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("a"), Tiff("c")}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), std::vector<std::string>{"Three files"});
    EXPECT_EQ(r.run.gVFUnprintable, 1);
    const auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_TRUE(Has(receipts[0], "A.TIF\tFile Processed"));
    EXPECT_TRUE(Has(receipts[0], "B.TIF\tNot Printed, Possible Printer Error"));
    EXPECT_TRUE(Has(receipts[0], "C.TIF\tFile Processed"));
    EXPECT_FALSE(m.marks.count(platform::MessageMark::Printed));
}

// A disk that takes no file, the program's journal that cannot be written,
// a printer that is gone: the walk stops at the fax in hand, which stays in
// the inbox unjudged, unanswered and uncounted.
TEST(Verdict, TheWalkStopsRatherThanJudgeAFaxByTheDiskOrThePrinter) {
    struct Case {
        const char* name;
        config::RunFailure failure;
        const char* lastError;
    };
    const Case cases[] = {
        {"attachment", config::RunFailure::Storage, "Storage Error : "},
        {"pdf", config::RunFailure::Storage, "Storage Error : Cannot write "},
        {"journal", config::RunFailure::Storage, "Storage Error : "},
        {"regular", config::RunFailure::Printing, "Print Error : Fatal Printer Error"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        WalkRun r;
        r.cfg.gflgConfirmReceipt = true;
        const std::string name = k.name;
        Msg& m = r.Add("Fax", kSubscriber);
        Attach(m, "a.tif", Tiff(name == "pdf" ? "a DISKFULL" : "a"));
        Header(m, kAsksReceipt);
        if (name == "attachment")
            r.store.FailAlways("WriteAttachment", DiskFull("cannot create " + r.run.gTempDir));
        if (name == "journal") fs::create_directories(r.dir / "printing/x");
        if (name == "regular") {
            r.run.gflgRegularPass = true;
            m.type = "IPM.Note.Fax";
            r.imaging.failAfter = 0;
        }
        r.Walk();
        EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"Fax"});
        EXPECT_EQ(r.run.failure, k.failure);
        EXPECT_EQ(r.run.gLastError.rfind(k.lastError, 0), 0u) << r.run.gLastError;
        EXPECT_EQ(r.run.gVFPrinted + r.run.gVFUnprintable + r.run.gRegUnprintable, 0);
        EXPECT_TRUE(r.Receipts().empty());
        EXPECT_TRUE(r.imaging.printedContents.empty());
        EXPECT_TRUE(m.marks.empty());
    }
    // A link planted in place of the journal never leads its writes to the
    // file it names: the journal replaces the link and the run goes on.
    WalkRun r;
    Msg& m = r.Add("Fax", kSubscriber);
    Attach(m, "a.tif", Tiff("a"));
    Header(m);
    testsupport::WriteFile(r.dir / "private", "secret\n");
    fs::create_symlink(r.dir / "private", r.dir / "printing");
    r.Walk();
    EXPECT_EQ(testsupport::ReadFile(r.dir / "private"), "secret\n");
    EXPECT_FALSE(fs::is_symlink(r.dir / "printing"));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"Fax"});
}

// One fax puts at most max_fax_pages sheets on paper, its header page
// included; what would pass the cap is left out and the fax is unprintable.
// The log counts the pages that went out, text pages included.
TEST(Verdict, AFaxPrintsNoMoreThanItsPageCap) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    r.options.maxFaxPages = 10;
    Msg& ok = r.Add("Within", kSubscriber);
    ok.text = "Cover.";
    Attach(ok, "notes.txt", "one\r\n\ftwo\r\n\fthree\r\n");  // three pages
    Attach(ok, "p.tif", Tiff("PAGES=6 ok"));  // with the header page, exactly the cap
    Header(ok);
    Msg& flood = r.Add("Flood", kSubscriber);
    flood.text = "Cover.";
    for (const char* f : {"a", "b", "c", "d"})
        Attach(flood, std::string(f) + ".tif", Tiff(std::string("PAGES=4 ") + f));
    Header(flood, kAsksReceipt);
    r.Walk();

    EXPECT_EQ(r.Logged("I|printed fax from sender@example.org \"Within\", 10 pages"), 1);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Unprintable"), std::vector<std::string>{"Flood"});
    EXPECT_EQ(r.imaging.printedContents,
              (std::vector<std::string>{Tiff("PAGES=6 ok"), Tiff("PAGES=4 a"), Tiff("PAGES=4 b")}));
    EXPECT_EQ(r.Logged("W|fax from sender@example.org \"Flood\" is unprintable; 9 pages of it "
                       "printed"),
              1);
    EXPECT_EQ(r.Logged("W|fax from sender@example.org \"Flood\": more than 10 pages in all "
                       "([print] max_fax_pages in options.ini); C.TIF and what follows it not "
                       "printed"),
              1);
    const auto receipts = r.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_TRUE(Has(receipts[0], "B.TIF\tFile Processed"));
    EXPECT_TRUE(Has(receipts[0], "C.TIF\tToo many pages"));
    EXPECT_TRUE(Has(receipts[0], "D.TIF\tToo many pages"));
}

// A receipt that cannot be recorded (the ledger cannot be written) stops the
// walk: the printed fax stays in the inbox, and the next run files it without
// printing it again.
TEST(Verdict, AReceiptThatCannotBeRecordedStopsTheWalk) {
    WalkRun r;
    r.cfg.gflgConfirmReceipt = true;
    Msg& a = r.Add("A", kSubscriber);
    Attach(a, "a.tif", Tiff("a"));
    Header(a, kAsksReceipt);
    Msg& b = r.Add("B", kSubscriber);
    Attach(b, "b.tif", Tiff("b"));
    Header(b, kAsksReceipt);
    fs::create_directories(r.dir / "receipts.ledger/x");
    r.Walk();
    EXPECT_EQ(r.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.imaging.printedContents, std::vector<std::string>{Tiff("a")});
    EXPECT_FALSE(a.marks.count(platform::MessageMark::Answered));

    fs::remove_all(r.dir / "receipts.ledger");
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("a"), Tiff("b")}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.Receipts().size(), 2u);
}

// A request to stop (SIGTERM) that arrives while a fax prints is taken after
// that fax: it is printed whole and filed, the next one waits in the inbox.
TEST(Verdict, AStopIsTakenBetweenFaxes) {
    WalkRun r;
    Msg& a = r.Add("A", kSubscriber);
    Attach(a, "a1.tif", Tiff("a1"));
    Attach(a, "a2.tif", Tiff("a2"));
    Header(a);
    Msg& b = r.Add("B", kSubscriber);
    Attach(b, "b.tif", Tiff("b"));
    Header(b);
    r.imaging.onPrint = [&r] { r.loop.RequestStop("SIGTERM"); };
    r.Walk();
    EXPECT_EQ(r.imaging.printedContents, (std::vector<std::string>{Tiff("a1"), Tiff("a2")}));
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), std::vector<std::string>{"A"});
    EXPECT_EQ(r.Subjects("Inbox"), std::vector<std::string>{"B"});
}

// Filing moves share their syncs; until a move is synced a crash may bring
// the fax back into the inbox. The journal keeps its verdict until then, so
// it is filed again without printing; and it is forgotten only once the
// folders are synced, also when the run that moved it never synced them.
TEST(Verdict, AFaxWhoseMoveACrashUndoesIsFiledAgainWithoutPrinting) {
    WalkRun r;
    auto add = [&r](const char* s) {
        Msg& m = r.Add(s, kSubscriber);
        Attach(m, std::string(s) + ".tif", Tiff(s));
        Header(m);
    };
    const platform::Status ioError = platform::Status::Error(platform::Fail::Io, "I/O error");
    add("A");
    add("B");
    r.store.FailAlways("Sync", ioError);
    r.Walk();
    EXPECT_EQ(r.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.Logged("E|: I/O error; 2 faxes filed since the last sync could return"), 1);
    r.store.Crash();
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B"}));

    r.store.ClearFailures();
    r.Walk();
    r.store.Crash();  // the walk synced its moves before it ended
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.Logged("I| was printed by a run that ended before filing it"), 2);
    r.Walk();

    // A run that ends between its moves and their sync: the next walk
    // syncs the folders before its journal forgets the fax.
    add("C");
    r.store.FailAlways("Sync", ioError);
    r.Walk();
    r.store.ClearFailures();
    r.Walk();
    r.store.Crash();
    r.Walk();
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(r.imaging.printedContents,
              (std::vector<std::string>{Tiff("A"), Tiff("B"), Tiff("C")}));
}

// While the printer holds documents, a fax counts as printed only once its
// batch is on disk: the documents, then the journal, then their names, then
// the moves. A walk that fails before the journal leaves hidden documents
// that the next walk removes and prints again; one that fails after it
// leaves documents that the next walk names, filing their faxes without
// printing them again. Either way a person sees each fax printed once.
TEST(Verdict, HeldDocumentsCountOnlyOnceTheirBatchIsOnDisk) {
    WalkRun r;
    r.printers.holds = true;
    for (const char* s : {"A", "B"}) {
        Msg& m = r.Add(s, kSubscriber);
        Attach(m, std::string(s) + ".tif", Tiff(s));
        Header(m);
    }
    const platform::Status ioError = platform::Status::Error(platform::Fail::Io, "I/O error");
    r.printers.failSyncHeld = ioError;
    r.Walk();
    EXPECT_EQ(r.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.Logged("E|cannot record the faxes just printed: I/O error"), 1);
    EXPECT_EQ(r.printers.Visible(), 0);
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B"}));
    for (const auto& m : r.store.Inbox(kProfile).messages)
        EXPECT_FALSE(m->marks.count(platform::MessageMark::Printed));

    r.printers.failSyncHeld.reset();
    r.printers.failNameHeld = ioError;
    r.run.failure = config::RunFailure::None;
    r.Walk();
    EXPECT_EQ(r.run.failure, config::RunFailure::Storage);
    EXPECT_EQ(r.printers.Visible(), 0);
    EXPECT_EQ(r.Subjects("Inbox"), (std::vector<std::string>{"A", "B"}));

    r.printers.failNameHeld.reset();
    const std::size_t rendered = r.imaging.printedContents.size();
    r.Walk();
    EXPECT_EQ(r.printers.Visible(), 2);
    EXPECT_EQ(r.Subjects("VOXA-FAXes/Printed"), (std::vector<std::string>{"A", "B"}));
    // The second walk's record stood: nothing of it was printed again.
    EXPECT_EQ(r.imaging.printedContents.size(), rendered);
    EXPECT_EQ(r.Logged("I| was printed by a run that ended before filing it"), 2);
}
