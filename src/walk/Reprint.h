#pragma once
// `voxafax reprint`: one stored fax printed again, as the run printed it.
#include <string>

namespace config {
struct Context;
}

namespace walk {

// Prints the stored message `messageId` of the account's store again on
// `printer` (the configured one when empty): classified and checked as the
// inbox walk does, with the same header page and images, and nothing
// counted, marked, filed or answered. The caller holds the program's
// instance lock. Returns 0 when it printed; kReprintNothing when the store
// has no such message or it is no fax; else the exit status of the failure
// (3 a setting, 9 the printer).
inline constexpr int kReprintNothing = 1;
int Reprint(config::Context& ctx, const std::string& messageId, const std::string& printer);

}  // namespace walk
