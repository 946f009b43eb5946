#pragma once
// What text taken from a received message may become in the mail the
// program sends. Anyone can write to a fax address, so nothing of a message
// may end a line, a header, a command or the DATA transfer where the program
// did not put it.
#include <cstddef>
#include <string>
#include <string_view>

namespace mailout {

// The message as it goes on the wire after DATA. `message` ends in the
// end-of-data marker (CR LF CR LF "." CR LF); everything before its final "."
// line has every line ended by CR LF (a bare CR or LF becomes CR LF) and one
// more "." before a line that begins with "." (dot-stuffing), so the final
// line is the only one the server can take for the end.
std::string DataForWire(std::string_view message);

// Text of a message with each bare CR and each bare LF made CR LF.
std::string NormaliseLineEnds(std::string_view text);

// Text of a received message quoted in a receipt: line ends normalised, and
// cut at kQuoteLimit bytes (at the last line end before it when there is
// one) with a marker line saying how much was left out.
inline constexpr std::size_t kQuoteLimit = 64 * 1024;
std::string QuotedText(std::string_view text);

// A value from a received message put into a header line: control
// characters become blanks (no line break can start a header of its own),
// cut at kHeaderTextLimit bytes.
inline constexpr std::size_t kHeaderTextLimit = 900;
std::string HeaderText(std::string_view text);

// What goes into RCPT TO or MAIL FROM: one plain mailbox, local@domain.
// The local part is a dot-atom of the letters, digits and signs a mailbox
// may hold (no blank, bracket, comma or quote, no encoded word); the domain
// is labels of letters, digits and hyphens. ASCII only: the program never
// asks a server for international addresses. "" when `address` is one,
// else why not.
std::string AddressFault(std::string_view address);

// The recipient of a receipt as a message gives it ("addr", "<addr>" or
// "Display Name <addr>") reduced to the bare address. False, with `why`,
// when it is not a single line of that form: the receipt must not go out.
bool ReduceRecipient(std::string_view given, std::string& address, std::string& why);

}  // namespace mailout
