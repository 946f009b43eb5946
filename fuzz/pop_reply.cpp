// POP3 reply texts as the client judges them: reply codes, STAT counts, the
// RETR reply line, LIST and UIDL answers, the line quoted to a person and the
// end-of-message test, on arbitrary server text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pop/PopReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const pop::ReplyKind kind = pop::ReplyCode(text);
    if (kind == pop::ReplyKind::Positive && !text.starts_with("+OK")) std::abort();
    if (kind == pop::ReplyKind::Negative && !text.starts_with("-ERR")) std::abort();

    std::int32_t count = 7, mailboxSize = 9;
    pop::ParseStatReply(text, count, mailboxSize);

    pop::RetrHead head;
    if (pop::ParseRetrHead(text, head)) {
        if (head.lineEnd < 2 || head.lineEnd > size) std::abort();
        if (text.substr(head.lineEnd - 2, 2) != "\r\n") std::abort();
    }
    (void)pop::LeadingNumber(text);

    const std::string line = pop::ReportLine(text);
    if (line.size() > 200) std::abort();
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    if (pop::MultiLineComplete(text) && pop::ReplyCode(text) == pop::ReplyKind::Neither) {
        // Only a complete first line can make an answer complete.
        if (text.find("\r\n") == std::string_view::npos) std::abort();
    }
    const auto words = pop::ScanListing(text, 8);
    if (words.size() != 8 || !words[0].empty()) std::abort();
    for (const auto& w : words)
        if (w.find(' ') != std::string::npos || w.find('\r') != std::string::npos) std::abort();
    if (pop::EndsMessage(text) != (size >= 5 && text.substr(size - 5) == "\r\n.\r\n")) std::abort();
    return 0;
}
