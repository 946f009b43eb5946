#pragma once
// Dates of mail headers as seconds since the Unix epoch.
#include <cstdint>
#include <string_view>

#include "platform/MailStore.h"

namespace convert {

// The store's zero date, which stands for "no date".
inline constexpr std::int64_t kZeroDate = platform::kZeroDateUnix;

// Accepts "[Wdy,] D Mon YYYY hh:mm[:ss] [zone]" (zones: +hhmm, -hhmm, UT,
// GMT, Z and the US zone names; a trailing "(comment)" is ignored),
// "D Mon YYYY", "MM/DD/YYYY [hh:mm[:ss] [AM|PM]]" and "YYYY-MM-DD[ hh:mm[:ss]]".
// Two-digit years below 50 are 20xx, others 19xx. Without a zone the time
// is local. Anything else gives kZeroDate.
std::int64_t ParseMailDate(std::string_view text);

}  // namespace convert
