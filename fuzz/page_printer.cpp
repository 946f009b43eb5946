// The plain-text page printer on arbitrary text and settings, printing to a
// recording printer: it must end, consume the text and count its pages.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "print/TextPrinter.h"
#include "tests/support/RunContext.h"

namespace {

const char* const kCounts[] = {"110", "80", "0", "1", "-7", "3", "x", "2147483647", "40.5", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    testsupport::RunContext c(testsupport::RunOptions().NoFolders());
    // The first two bytes choose the settings; the rest is the text.
    testsupport::WriteFile(c.env.profilePath,
                           "[VOXA-FAX]\nchrs_per_line=" + std::string(kCounts[data[0] % 10]) +
                               "\nlines_per_page=" + kCounts[data[1] % 10] + "\nfont_size=9\n");
    c.options.textPages = (data[0] & 0x80) != 0;

    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::int32_t pageNo = 0;
    const bool ok = print::TextOnLocalPrinter({c.printers, c.profile, c.loop, !c.options.textPages},
                                              text, (data[1] & 0x80) != 0, "s", "r", "f", pageNo);
    if (!ok || pageNo < 2 || print::HasPrintableText(text)) {
        std::fprintf(stderr, "ok=%d pageNo=%d left=%zu\n", ok, pageNo, text.size());
        std::abort();
    }
    return 0;
}
