#include <cups/cups.h>

#include "companion/Companion.h"
#include "platform/Profile.h"

namespace companion {

std::vector<PrinterChoice> InstalledPrinters(const platform::Environment& env) {
    std::vector<PrinterChoice> list;
    cups_dest_t* dests = nullptr;
    int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    for (int i = 0; i < n; ++i) {
        // voxafax-print matches device names only; instances are not printers of their own.
        if (dests[i].instance) continue;
        list.push_back({dests[i].name, false, {}});
    }
    cupsFreeDests(n, dests);

    auto text = platform::ini::ReadFile(env.PrintersIni()).value_or("");
    for (const std::string& name : platform::ini::Sections(text)) {
        auto dir = platform::ini::Lookup(text, name, "directory");
        if (!dir) continue;  // a folder printer without a folder is not installed
        list.push_back({name, true, platform::ini::StripComment(*dir)});
    }
    return list;
}

}  // namespace companion
