#pragma once
// Where a server's reply ends in what has arrived so far. TCP cuts data
// anywhere: a reply is judged only once it is whole, never on a piece.
#include <cstddef>
#include <string_view>

namespace net {

// Past this many bytes without an end, what arrived is handed over as the
// reply (and judged a wrong one) rather than kept growing.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// The end of the first line (after its LF) in `text`; npos while no line is
// complete. A POP3 status reply is one line.
std::size_t LineEnd(std::string_view text);

// The end of the first whole SMTP reply in `text`: after the first line that
// does not continue it ("250-..." lines continue, "250 ..." ends; so does any
// line that is no continuation, judged wrong then). npos while none is there.
std::size_t SmtpReplyEnd(std::string_view text);

}  // namespace net
