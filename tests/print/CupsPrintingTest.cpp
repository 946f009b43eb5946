// Printing through a real CUPS scheduler. Runs only when a script has started
// a private one and names its queue (tests/scripts/cups_print.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "print/PrintForm.h"
#include "print/TextPrinter.h"
#include "tests/print/PrintHarness.h"
#include "tests/support/FaxTiff.h"
#include "tests/support/ImageFiles.h"

TEST(CupsPrinting, AFaxAndATextBecomeJobsOnTheQueueByName) {
    const char* queue = std::getenv("VOXAFAX_CUPS_QUEUE");
    const char* out = std::getenv("VOXAFAX_CUPS_OUT");
    if (!queue || !out || !std::getenv("VOXAFAX_TEST_CUPS"))
        GTEST_SKIP() << "no private CUPS scheduler (see tests/scripts/cups_print.sh)";
    printtest::Harness h(true);
    bool listed = false;
    for (const auto& p : h.printers.Installed())
        listed = listed || (p.deviceName == queue && !p.isFolder);
    ASSERT_TRUE(listed) << "queue " << queue << " not among the installed printers";

    testsupport::FaxTiffOptions o;
    o.pages = 3;
    ASSERT_TRUE(testsupport::WriteFaxTiff(h.dir / "fax.tif", o));
    print::FrmVFPrint form = h.Form();
    h.cfg.gprinterName = queue;
    form.PrintNow(h.dir / "fax.tif");
    EXPECT_EQ(form.state().gflgPrintImage, -1) << form.state().gPrintErrMsg;
    EXPECT_EQ(form.state().gPageCount, "3");

    ASSERT_TRUE(h.printers.SetCurrent(queue));
    h.options.textPages = true;
    h.SetKey("font_size", "7");
    std::string text;
    for (int i = 1; i <= 100; ++i) text += "text line " + std::to_string(i) + "\r\n";
    std::int32_t pageNo = 0;
    ASSERT_TRUE(print::TextOnLocalPrinter(h.Text(), text, false, "", "", "", pageNo));
    EXPECT_EQ(pageNo, 3);

    // Jobs land as job-<id>.pdf in the order submitted; wait for both.
    std::vector<int> pages;
    for (int i = 0; i < 200 && pages.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<std::string> pdfs = testsupport::FilesIn(out, ".pdf");
        if (pdfs.size() < 2) continue;
        for (const auto& p : pdfs) pages.push_back(printtest::PdfPages(p));
    }
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0], 3);  // the fax
    EXPECT_EQ(pages[1], 2);  // the text: 80 + 20 lines
}
