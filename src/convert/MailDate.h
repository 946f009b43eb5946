#pragma once
// Dates of mail headers as seconds since the Unix epoch.
#include <cstdint>
#include <string_view>

#include "platform/MailStore.h"

namespace convert {

// The store's zero date, which stands for "no date".
inline constexpr std::int64_t kZeroDate = platform::kZeroDateUnix;

// Reads a Date value: "MM/DD/YYYY" (two-digit years below 50 are 20xx, others
// 19xx) or "YYYY-MM-DD", then "[hh:mm[:ss] [AM|PM]] [zone]"; and mail dates
// "[Wdy,] D Mon YYYY [hh:mm[:ss] [AM|PM]] [zone]" in the looser orders
// mailers write, with the month by name, read by GMime (years from 1969 on;
// two-digit years below 70 are 20xx). Zones: +hhmm, -hhmm, UT, UTC, GMT, Z
// and the US zone names; a trailing "(comment)" is ignored. Without a zone
// the time is local. Anything else gives kZeroDate.
std::int64_t ParseMailDate(std::string_view text);

}  // namespace convert
