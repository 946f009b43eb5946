#pragma once
// Small text helpers every subsystem uses. Byte strings: case rules are those
// of ASCII, other bytes are left as they are.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
// Without the given characters at both ends (blanks, TAB, CR and LF unless told).
std::string Trim(std::string_view s, std::string_view chars = " \t\r\n");
// The same as a view into s, for parsers that must not copy.
std::string_view TrimView(std::string_view s, std::string_view chars = " \t\r\n");
// Without blanks (" " only) at both ends: TABs and line ends stay.
std::string TrimBlanks(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Position of needle in hay ignoring ASCII case, or npos.
std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0);
bool ContainsNoCase(std::string_view hay, std::string_view needle);
// Text from a server, a file or a message made fit for one line of a log, a
// status key or an INI value: every control byte, line ends included, becomes
// a blank. A text longer than max bytes is cut there and `more` appended.
std::string OneLine(std::string_view text, std::size_t max = std::string_view::npos,
                    std::string_view more = "");
// The name among `names` that `name` is most likely a misspelling of (at
// most two edits away, case ignored, a swap of neighbours counting one), or
// "" when none is close: for "did you mean ...?".
std::string Closest(std::string_view name, const std::vector<std::string>& names);
// A whole decimal number (an optional sign, digits, nothing after), or
// nothing when the text is empty, has other characters or overflows a long.
std::optional<long> ParseLong(const std::string& s);
// Base64 (RFC 4648, with padding, no line breaks): SASL and AUTH arguments.
std::string Base64(std::string_view bytes);
// Each byte of 0x80..0xFF as its two-byte UTF-8 form.
std::string Latin1ToUtf8(std::string_view s);

}  // namespace platform
