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

// Finds where a multi-line answer (LIST, UIDL, RETR) ends in data fed piece
// by piece, wherever the pieces are cut: after its first line when that is
// not positive, else after the line that is a single "." (a line begins
// after CR LF). What follows the end belongs to no answer.
class AnswerEnd {
  public:
    // How many bytes of `piece` belong to the answer: all of them until the
    // end is among them.
    std::size_t Feed(std::string_view piece);
    bool done() const { return state_ == Done; }
    // The first line is complete; head() holds it, line end included (cut
    // after kMaxHead bytes, which also ends it).
    bool headComplete() const { return state_ != Head; }
    const std::string& head() const { return head_; }
    static constexpr std::size_t kMaxHead = 64 * 1024;

  private:
    enum State { Head, LineStart, Dot, DotCr, InLine, InLineCr, Done };
    void EndHead();
    State state_ = Head;
    std::string head_;
};

// The second word (up to a blank or control character) of each "n word"
// line of a complete multi-line answer, by
// message number: index n of the result for 1 <= n < `slots`; "" where the
// answer has no line for n. Nothing for a "-ERR" answer.
std::vector<std::string> ScanListing(std::string_view answer, std::size_t slots);

// A unique-id as RFC 1939 allows it (1 to 70 characters 0x21..0x7E); others
// are not used to recognise a message.
bool UsableUid(std::string_view uid);

}  // namespace pop
