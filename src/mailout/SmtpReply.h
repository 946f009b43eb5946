#pragma once
// Reading SMTP replies and the extensions a server advertises, and the
// encodings of the login exchange.
#include <string>
#include <string_view>
#include <vector>

namespace mailout {

// The code a step judges, with the blank or hyphen after it ("250 "). In
// the historical dialogue that is the reply's first four characters, so a
// multi-line reply ("250-...") is a wrong reply. A server that speaks the
// extended dialogue may answer in several lines: then it is the last
// line's, provided every line carries the same code; "" for a reply that is
// not complete or not SMTP.
std::string ReplyCode(std::string_view reply, bool multiLine);

// The text of a reply without its codes and line ends, lines joined by
// blanks: what the server said, for a person.
std::string ReplyWords(std::string_view reply);

// The extensions of an EHLO reply (every line after the first), in upper
// case, one per line: "STARTTLS\nAUTH PLAIN LOGIN\n".
std::string ExtensionsOf(std::string_view ehloReply);
// True when `keyword` is one of them.
bool Offers(std::string_view extensions, std::string_view keyword);
// The mechanisms after "AUTH" (also the old "AUTH=" form).
std::vector<std::string> AuthMechanisms(std::string_view extensions);

// Texts as they go into the session log (account.ini): one line of at
// most 200 characters, so that a server answering with megabytes or line
// breaks cannot bloat or break the file. In a reply every control character
// becomes a blank and the blanks around go; an error text loses only its
// line ends, and keeps the blank its words end in.
std::string SessionLogReply(std::string_view reply);
std::string SessionLogError(std::string_view text);

std::string Base64(std::string_view bytes);
// Undoes Base64; characters outside the alphabet are skipped.
std::string FromBase64(std::string_view text);

}  // namespace mailout
