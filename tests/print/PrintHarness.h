#pragma once
// A run context for printing tests: fake printers (or real ones writing into
// a folder), a profile file in a private folder and a manual clock.
#include <string>

#include "config/NodeConfig.h"
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
    void SetKey(const std::string& key, const std::string& value) {
        profile.WriteProfileStringA(config::kSection, key, value);
    }
};

}  // namespace printtest
