#pragma once
#include <memory>
#include <string>

#include "platform/Printers.h"

namespace platform {

// The real printers: CUPS through libcups (honouring $CUPS_SERVER) and the
// folder printers listed in printersIni. Documents are set on A4 paper.
std::unique_ptr<Printers> MakeSystemPrinters(const std::string& printersIni);

}  // namespace platform
