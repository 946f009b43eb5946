#include "net/Replies.h"

namespace net {

std::size_t LineEnd(std::string_view text) {
    const std::size_t lf = text.find('\n');
    return lf == std::string_view::npos ? lf : lf + 1;
}

std::size_t SmtpReplyEnd(std::string_view text) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = LineEnd(text.substr(at));
        if (end == std::string_view::npos) return end;
        const std::string_view line = text.substr(at, end);
        at += end;
        const bool continues = line.size() >= 4 && line[3] == '-' && line[0] >= '0' &&
                               line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
                               line[2] >= '0' && line[2] <= '9';
        if (!continues) return at;
    }
}

}  // namespace net
