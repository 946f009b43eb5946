// POP3 reply texts as the client judges them: reply codes, STAT counts, the
// RETR reply line, LIST and UIDL answers, the line quoted to a person and
// where a multi-line answer ends, on arbitrary server text.
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
    // The end of a multi-line answer is found the same wherever it is cut.
    pop::AnswerEnd whole, cut;
    const std::size_t end = whole.Feed(text);
    std::size_t used = cut.Feed(text.substr(0, size / 2));
    if (!cut.done()) used += cut.Feed(text.substr(size / 2));
    if (used != end || cut.done() != whole.done() || end > size) std::abort();
    if (whole.done() && !whole.headComplete()) std::abort();
    const auto words = pop::ScanListing(text, 8);
    if (words.size() != 8 || !words[0].empty()) std::abort();
    for (const auto& w : words)
        if (w.find(' ') != std::string::npos || w.find('\r') != std::string::npos) std::abort();
    return 0;
}
