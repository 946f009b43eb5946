#pragma once
// A run context for printing tests: fake printers (or real ones writing into
// a folder), a profile file in a private folder and a manual clock.
#include <string>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "print/PrintForm.h"
#include "print/TextPrinter.h"
#include "tests/support/RunContext.h"

namespace printtest {

struct Harness : testsupport::RunContext {
    // real: system printers with one folder printer "Fax PDF" writing into
    // out(), and the real imaging component.
    explicit Harness(bool real = false)
        : RunContext(testsupport::RunOptions().In("home").NoFolders().Printing(
              real ? testsupport::FolderPrinting : nullptr)) {}

    platform::Printers& printers = ctx.printers;  // the ones in use
    std::string out() const { return dir / "prints"; }
    // What the walk hands the page printer and the print form.
    print::TextPrinterServices Text() {
        return {printers, profile, loop, run.gflgTest && !options.textPages};
    }
    print::FrmVFPrint Form() { return print::FrmVFPrint(ctx.imaging, loop, cfg.gprinterName); }
    void SetKey(const std::string& key, const std::string& value) {
        profile.WriteProfileStringA(config::kSection, key, value);
    }
};

}  // namespace printtest
