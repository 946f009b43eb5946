#pragma once
// The POP3 reply texts as the client judges them: pure functions, so that
// they can be tested and fuzzed without a server.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pop {

enum class ReplyKind { Positive, Negative, Neither };

// "+OK" as a whole word (followed by a blank, TAB, line end or nothing) is
// positive, "-ERR" negative, anything else neither. A bare "+OK" line counts:
// common servers answer USER with exactly that.
ReplyKind ReplyCode(std::string_view portIn);

// STAT: TAB, CR, LF and ":" read as blanks, the whole trimmed, "+OK " dropped;
// the number before the first blank is the count, the one after it the size.
// A part that is not a number leaves its variable as it was.
void ParseStatReply(std::string_view portIn, std::int32_t& count, std::int32_t& size);

// The leading number of a text, as a lenient numeric conversion reads it
// (blanks and a sign first; stops at the first non-digit; 0 when none).
std::int64_t LeadingNumber(std::string_view text);

// The head of a RETR answer collected so far: the position after the CR LF
// that ends the "+OK" line, and the size the server announced there (the
// text from 4 places after "+OK" to the next blank). False when "+OK", the
// blank or the line end is not there (yet).
struct RetrHead {
    std::size_t lineEnd = 0;     // bytes up to and including the reply's CR LF
    std::int64_t announced = 0;  // octets the reply line announces
};
bool ParseRetrHead(std::string_view collected, RetrHead& head);

// True when the received text ends the message: CR LF "." CR LF.
bool EndsMessage(std::string_view tail);

}  // namespace pop
