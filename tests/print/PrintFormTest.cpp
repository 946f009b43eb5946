// The image print form with the real imaging component and a folder printer,
// and with fakes for the failures a real printer cannot be made to show.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "print/PrintForm.h"
#include "print/TextPrinter.h"
#include "tests/print/PrintHarness.h"
#include "tests/support/FaxTiff.h"
#include "tests/support/ImageFiles.h"

using printtest::Harness;

namespace {

std::vector<std::string> Pdfs(const std::string& dir) {
    return testsupport::FilesIn(dir, ".pdf");
}

#define NEED_POPPLER()                                                         \
    if (!printtest::HaveTool("pdfinfo") || !printtest::HaveTool("pdftoppm") || \
        !printtest::HaveTool("pdftotext"))                                     \
    GTEST_SKIP() << "poppler-utils not installed"

std::string FaxFile(Harness& h, const std::string& name, int pages, bool fine,
                    testsupport::FaxCoding coding = testsupport::FaxCoding::G4) {
    testsupport::FaxTiffOptions o;
    o.pages = pages;
    o.fine = fine;
    o.coding = coding;
    std::string path = h.dir / name;
    std::string err;
    EXPECT_TRUE(testsupport::WriteFaxTiff(path, o, &err)) << err;
    return path;
}

}  // namespace

TEST(FrmVFPrint, PrintsAThreePageFaxAsOneUprightProportionalPdf) {
    NEED_POPPLER();
    Harness h(true);
    print::FrmVFPrint form = h.Form();
    const std::string fax = FaxFile(h, "fax.tif", 3, true);
    form.PrintNow(fax);
    EXPECT_TRUE(form.state().gflgImageLoaded);
    EXPECT_EQ(form.state().gPrintErrMsg, "");
    EXPECT_EQ(form.state().gPageCount, "3");
    EXPECT_EQ(form.state().gflgPrintImage, -1);
    auto pdfs = Pdfs(h.out());
    ASSERT_EQ(pdfs.size(), 1u);
    EXPECT_EQ(printtest::PdfPages(pdfs[0]), 3);
    // The fax data went in as it was, not decoded and re-encoded.
    EXPECT_NE(printtest::Run("pdfimages -list '" + pdfs[0] + "'").find("ccitt"), std::string::npos);

    auto g = printtest::RenderPage(pdfs[0], 2, h.dir.path());
    ASSERT_GT(g.width, 0);
    auto box = g.InkBox();
    const double aspect = double(box[2] - box[0]) / double(box[3] - box[1]);
    EXPECT_NEAR(aspect, (1728 / 204.0) / (2200 / 196.0), 0.03);
    // Upright: the arrow and the large heading sit at the top left.
    const int midX = (box[0] + box[2]) / 2, midY = (box[1] + box[3]) / 2;
    EXPECT_GT(g.InkIn(box[0], box[1], midX, midY), 2 * g.InkIn(midX, midY, box[2], box[3]));
}

// The readers' reasons are the imaging tests' business; the form keeps the
// reason, prints nothing, and loads the next good file as if nothing happened.
TEST(FrmVFPrint, FilesThatAreNoImagesFailWithTheirReason) {
    Harness h(true);
    print::FrmVFPrint form = h.Form();
    testsupport::WriteFile(h.dir / "text.tif", "This is not an image at all.\r\n");
    printtest::WriteJpeg(h.dir / "photo.jpg", 200, 150);
    const std::pair<std::string, std::string> cases[] = {
        {"missing.tif", "File not found: " + h.dir / "missing.tif"},
        {"text.tif", "Not a readable image: "},
    };
    for (const auto& [name, reason] : cases) {
        form.PrintNow(h.dir / name);
        EXPECT_FALSE(form.state().gflgImageLoaded) << name;
        EXPECT_EQ(form.state().gflgPrintImage, 0) << name;
        EXPECT_EQ(form.state().gPrintErrMsg.rfind(reason, 0), 0u)
            << name << ": " << form.state().gPrintErrMsg;
    }
    EXPECT_TRUE(Pdfs(h.out()).empty());
    form.LoadImageFile(h.dir / "photo.jpg");
    EXPECT_TRUE(form.state().gflgImageLoaded) << form.state().gPrintErrMsg;
    EXPECT_EQ(form.state().gPrintErrMsg, "");
}

TEST(FrmVFPrint, PrinterFailuresAreToldApart) {
    Harness h;
    print::FrmVFPrint form = h.Form();
    h.fakeImaging.Add("/faxes/a.tif", 2);
    form.PrintNow("/faxes/a.tif");
    EXPECT_EQ(form.state().gflgPrintImage, -1);
    EXPECT_EQ(form.state().gPageCount, "2");
    ASSERT_EQ(h.fakePrinters.documents.size(), 1u);
    EXPECT_EQ(h.fakePrinters.documents[0].sheets, 2);

    h.fakePrinters.failDocuments = platform::FakePrinters::PrinterError();
    form.PrintNow("/faxes/a.tif");
    EXPECT_EQ(form.state().gflgPrintImage, 0);
    EXPECT_NE(form.state().gPrintErrMsg.find("Printer Error"), std::string::npos);

    h.fakePrinters.failDocuments = platform::FakePrinters::ProcessingError();
    form.PrintNow("/faxes/a.tif");
    EXPECT_EQ(form.state().gflgPrintImage, 0);
    EXPECT_EQ(form.state().gPrintErrMsg, "Print Processing Error");

    h.fakePrinters.failDocuments.reset();
    h.fakeImaging.AddBroken("/faxes/b.tif",
                            platform::Status::Error(platform::Fail::Cancelled, "x"));
    form.LoadImageFile("/faxes/b.tif");
    EXPECT_FALSE(form.state().gflgImageLoaded);
}

TEST(FrmVFPrint, RealPrinterThatIsGoneOrCannotWrite) {
    Harness h(true);
    print::FrmVFPrint form = h.Form();
    const std::string fax = FaxFile(h, "fax.tif", 1, true);
    h.cfg.gprinterName = "No Such Printer";
    form.PrintNow(fax);
    EXPECT_EQ(form.state().gflgPrintImage, 0);
    EXPECT_EQ(form.state().gPrintErrMsg.rfind("Printer Error : ", 0), 0u)
        << form.state().gPrintErrMsg;

    // A folder printer whose folder cannot be made (a file has its name)
    // fails like a printer that is gone: the walk stops on "Printer Error".
    testsupport::WriteFile(h.out(), "a file, not a folder");
    h.cfg.gprinterName = "Fax PDF";
    form.PrintNow(fax);
    EXPECT_EQ(form.state().gflgPrintImage, 0);
    EXPECT_EQ(form.state().gPrintErrMsg.rfind("Printer Error : folder printer \"Fax PDF\": ", 0),
              0u)
        << form.state().gPrintErrMsg;

    // Once the folder can be made, the same printer prints; a document key
    // ends the file name, where the printer finds it again.
    std::filesystem::remove(h.out());
    h.printers.SetDocumentKey("3f2a9c1e5b6d-1-fax");
    form.PrintNow(fax);
    EXPECT_EQ(form.state().gflgPrintImage, -1) << form.state().gPrintErrMsg;
    const std::string pdf = h.printers.LastDelivery();
    EXPECT_EQ(pdf.rfind(h.out() + "/", 0), 0u);
    EXPECT_EQ(pdf.substr(pdf.size() - 23), "-3f2a9c1e5b6d-1-fax.pdf");
    EXPECT_TRUE(h.printers.Delivered("", "3f2a9c1e5b6d-1-fax"));
    EXPECT_FALSE(h.printers.Delivered("", "3f2a9c1e5b6d-2-fax"));
    EXPECT_FALSE(h.printers.Delivered("Fax PDF", "1-fax"));
}

TEST(FolderPrinter, TextBecomesAPdfWithTheTextInPrintOrder) {
    NEED_POPPLER();
    Harness h(true);
    h.options.textPages = true;
    h.SetKey("font_size", "7");  // 80 lines and the header fit on one A4 sheet
    std::string text;
    for (int i = 1; i <= 200; ++i) text += "line " + std::to_string(i) + "\tafter a tab\r\n";
    std::int32_t pageNo = 0;
    ASSERT_TRUE(
        print::TextOnLocalPrinter(h.Text(), text, true, "sent", "received", "from@x", pageNo));
    std::string second = "second document\r\n";
    ASSERT_TRUE(print::TextOnLocalPrinter(h.Text(), second, false, "", "", "", pageNo));
    auto pdfs = Pdfs(h.out());
    ASSERT_EQ(pdfs.size(), 2u);
    EXPECT_EQ(printtest::PdfPages(pdfs[0]), 3);
    const std::string words = printtest::Run("pdftotext -layout '" + pdfs[0] + "' -");
    EXPECT_NE(words.find("Page No. 3"), std::string::npos);
    EXPECT_NE(words.find("line 161"), std::string::npos);
    EXPECT_NE(words.find("line 200"), std::string::npos);
    EXPECT_NE(printtest::Run("pdftotext '" + pdfs[1] + "' -").find("second document"),
              std::string::npos);

    // At the defaults (110 characters, 80 lines, 10 points) a full page with
    // its header fits one sheet: the font is made smaller, and no character
    // falls off the edge.
    h.SetKey("font_size", "10");
    text.clear();
    for (int i = 1; i <= 80; ++i) {
        const std::string n = std::to_string(i);
        text += n + std::string(108 - n.size(), 'x') + "Z\r\n";  // 109 visible: fits
    }
    ASSERT_TRUE(print::TextOnLocalPrinter(h.Text(), text, true, "s", "r", "f", pageNo));
    pdfs = Pdfs(h.out());
    ASSERT_EQ(pdfs.size(), 3u);
    EXPECT_EQ(printtest::PdfPages(pdfs[2]), 1);
    const std::string boxes = printtest::Run("pdftotext -bbox '" + pdfs[2] + "' -");
    int lines = 0;
    double rightmost = 0;
    for (std::size_t at = boxes.find("<word "); at != std::string::npos;
         at = boxes.find("<word ", at + 1)) {
        const std::size_t end = boxes.find("</word>", at);
        if (boxes.compare(end - 1, 1, "Z") != 0) continue;
        ++lines;
        rightmost = std::max(rightmost, std::stod(boxes.substr(boxes.find("xMax=\"", at) + 6)));
    }
    EXPECT_EQ(lines, 80);
    EXPECT_LT(rightmost, 595.0);  // the width of A4 in points
}

TEST(FolderPrinter, ADocumentLeftOpenIsEndedWithThePrinters) {
    Harness h(true);
    std::string out = h.out();
    ASSERT_TRUE(h.printers.PrintLine("left open"));
    EXPECT_TRUE(Pdfs(out).empty());
    h.ownPrinters.reset();
    EXPECT_EQ(Pdfs(out).size(), 1u);
}

// A finished document becomes the printed file itself when it lies on the
// folder's file system, and a copy when not (here /dev/shm, a memory file
// system); either way the printed file keeps its bytes once the caller has
// removed its own.
TEST(FolderPrinter, ADocumentIsPrintedWholeFromThisOrAnotherFileSystem) {
    Harness h(true);
    struct stat shm {
    }, here{};
    const bool otherFs = ::stat("/dev/shm", &shm) == 0 &&
                         ::stat(h.dir.path().c_str(), &here) == 0 && shm.st_dev != here.st_dev &&
                         ::access("/dev/shm", W_OK) == 0;
    const std::string sources[] = {
        h.dir / "doc.pdf",
        otherFs ? "/dev/shm/voxafax-test-" + std::to_string(::getpid()) + ".pdf" : std::string()};
    int n = 0;
    for (const std::string& source : sources) {
        if (source.empty()) continue;
        const std::string bytes = "%PDF-1.4 document " + std::to_string(++n);
        testsupport::WriteFile(source, bytes);
        ASSERT_TRUE(h.printers.PrintDocument("Fax PDF", source, "title", 1));
        std::filesystem::remove(source);
        const std::string printed = h.printers.LastDelivery();
        EXPECT_EQ(testsupport::ReadFile(printed), bytes);
        struct stat st {};
        ASSERT_EQ(::stat(printed.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 1u);
    }
    // Nothing else is left in the folder (no hidden copy).
    EXPECT_EQ(testsupport::FilesIn(h.out()).size(), static_cast<std::size_t>(n));
}

// An image checked and then written over in place (as the walk writes each
// fax over the one before) is printed as it is now, not as it was checked.
TEST(FrmVFPrint, AnImageWrittenOverAfterItsCheckPrintsAsItIsNow) {
    NEED_POPPLER();
    Harness h(true);
    const std::string fax = FaxFile(h, "0001.TIF", 2, true);
    ASSERT_EQ(h.ctx.imaging.Open(fax).value_or({}).pages, 2);
    FaxFile(h, "0001.TIF", 3, false);
    ASSERT_TRUE(h.ctx.imaging.Print(fax, "Fax PDF"));
    EXPECT_EQ(printtest::PdfPages(h.printers.LastDelivery()), 3);
    // Checked and printed unchanged: the same pages.
    ASSERT_EQ(h.ctx.imaging.Open(fax).value_or({}).pages, 3);
    ASSERT_TRUE(h.ctx.imaging.Print(fax, "Fax PDF"));
    EXPECT_EQ(printtest::PdfPages(h.printers.LastDelivery()), 3);
}

// Held documents stay under hidden names until their batch is named, then
// take names in the order printed. A walk that died leaves hidden files: the
// next walk with the same tag names those its journal says printed and
// removes the rest, and leaves another walk's alone.
TEST(FolderPrinter, HeldDocumentsAreNamedInOrderOrRecovered) {
    Harness h(true);
    auto print = [&h](const std::string& key) {
        const std::string source = h.dir / "doc.pdf";
        testsupport::WriteFile(source, "%PDF-1.4 " + key);
        h.printers.SetDocumentKey(key);
        ASSERT_TRUE(h.printers.PrintDocument("Fax PDF", source, "title", 1));
        std::filesystem::remove(source);
    };
    auto contents = [&h] {
        std::vector<std::string> all;
        for (const std::string& pdf : Pdfs(h.out())) all.push_back(testsupport::ReadFile(pdf));
        return all;
    };
    ASSERT_TRUE(h.printers.Hold("aaaa1111"));
    print("000000000001-0-fax");
    print("000000000002-0-fax");
    EXPECT_TRUE(Pdfs(h.out()).empty());
    EXPECT_FALSE(h.printers.SentDirectly());
    ASSERT_TRUE(h.printers.SyncHeld());
    ASSERT_TRUE(h.printers.NameHeld());
    EXPECT_EQ(contents(), (std::vector<std::string>{"%PDF-1.4 000000000001-0-fax",
                                                    "%PDF-1.4 000000000002-0-fax"}));
    EXPECT_EQ(testsupport::FilesIn(h.out()).size(), 2u);

    // Left hidden by a walk that died; another walk's file besides.
    print("000000000003-0-fax");
    print("000000000004-1-page");
    h.printers.StopHolding();
    ASSERT_TRUE(h.printers.Hold("bbbb2222"));
    print("000000000005-0-fax");
    h.printers.StopHolding();
    EXPECT_EQ(Pdfs(h.out()).size(), 2u);
    std::vector<std::string> asked;
    ASSERT_TRUE(h.printers.RecoverHeld("aaaa1111", [&asked](const std::string& key) {
        asked.push_back(key);
        return key == "000000000003-0-fax";
    }));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"000000000003-0-fax", "000000000004-1-page"}));
    EXPECT_EQ(contents().back(), "%PDF-1.4 000000000003-0-fax");
    EXPECT_EQ(Pdfs(h.out()).size(), 3u);
    EXPECT_EQ(testsupport::FilesIn(h.out()).size(), 4u);  // the other walk's, still hidden

    // A document without a key cannot be found again: it goes out at once.
    ASSERT_TRUE(h.printers.Hold("aaaa1111"));
    print("");
    EXPECT_TRUE(h.printers.SentDirectly());
    EXPECT_EQ(Pdfs(h.out()).size(), 4u);
}
