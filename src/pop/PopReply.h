#pragma once
// The POP3 reply texts as the client judges them: pure functions, so that
// they can be tested and fuzzed without a server.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// that ends the "+OK" line it begins with, and the size the server announced
// there (the leading number after "+OK "; 0 when there is none, as in a bare
// "+OK"). False while that line is not complete, or when the answer is not
// "+OK".
struct RetrHead {
    std::size_t lineEnd = 0;     // bytes up to and including the reply's CR LF
    std::int64_t announced = 0;  // octets the reply line announces
};
bool ParseRetrHead(std::string_view collected, RetrHead& head);

// The first line of a reply as it may be shown to a person: without its
// line end, control characters as blanks, at most `max` characters.
std::string ReportLine(std::string_view reply, std::size_t max = 200);

// A multi-line answer (LIST, UIDL) is complete: a "-ERR" line, or a first
// line followed by the terminating "." line.
bool MultiLineComplete(std::string_view collected);

// The second word (up to a blank or control character) of each "n word"
// line of a complete multi-line answer, by
// message number: index n of the result for 1 <= n < `slots`; "" where the
// answer has no line for n. Nothing for a "-ERR" answer.
std::vector<std::string> ScanListing(std::string_view answer, std::size_t slots);

// A unique-id as RFC 1939 allows it (1 to 70 characters 0x21..0x7E); others
// are not used to recognise a message.
bool UsableUid(std::string_view uid);

// True when the received text ends the message: CR LF "." CR LF.
bool EndsMessage(std::string_view tail);

}  // namespace pop
